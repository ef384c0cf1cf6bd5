// Passwords in the desktop's keyring (Secret Service, KWallet) through QtKeychain, keyed by
// server, port and user. Calls wait for the keyring while the window keeps running. Without a
// reachable keyring the answers say so and the caller asks the user instead.
#pragma once

#include <QString>

namespace Keyring {

enum TResult { krOk, krNotFound, krUnavailable };

// "user@server:port", the entry's name under the program's service.
QString EntryKey(const QString &server, const QString &port, const QString &user);
TResult Read(const QString &key, QString &secret);
TResult Write(const QString &key, const QString &secret);
TResult Remove(const QString &key);

}  // namespace Keyring
