// Names for the string table's messages (resources/strings.txt). Message n is the Russian
// text under n and the English one under n + 1000; the window's captions are looked up by
// number in a loop and have no names here.
#pragma once

namespace TextId {

enum : int {
    // The form's checks, the file list, the protocol file and the settings.
    FilesCount = 30,
    ConfirmDeleteFiles = 32,
    ConfirmClearList = 33,
    NeedRecipient = 41,
    NeedServer = 42,
    NeedPort = 43,
    NeedAccount = 44,
    NoFiles = 45,
    AreYouSure = 53,
    NeedAddress = 54,
    AllFilesFilter = 57,
    ProtocolFilesFilter = 82,

    // The send job's status line and closing protocol lines.
    JobStopped = 34,
    JobDone = 35,
    ConnectError = 36,
    ServerError = 37,
    EncodingFile = 38,
    Transferring = 39,
    Connecting = 56,
    ConnectErrorSeeProtocol = 61,

    // The send job's protocol.
    TransferStarted = 200,
    ProtocolFrom = 201,
    ProtocolTo = 202,
    ProtocolCopies = 203,
    ProtocolHidden = 204,
    ProtocolSubject = 205,
    ConnectingToServer = 206,
    ConnectionSuccessful = 207,
    ContinuingSeries = 208,
    DeliveredBefore = 209,
    MessageStarted = 210,
    MessageFile = 211,
    SentAgain = 212,
    StepDone = 213,
    StepCancelledByError = 214,
    StepStoppedByUser = 215,
    MessageNotSent = 216,
    MessageTooLarge = 217,
    Disconnecting = 218,
    TransferFinished = 219,
    ConnectionLostReconnecting = 220,
    ReconnectingIn = 221,
    StepCancelledByUser = 222,
    StepFailed = 223,
    CannotReadFile = 224,
    FileReadError = 225,
    StopAndClose = 226,
    ContinueSeries = 227,
};

}  // namespace TextId
