// Packs files with the program's internal archiver, as a send job does, into one ZIP file: the
// benchmark's side of "zip -6" and "7z a -tzip".
//   bench_pack OUT.zip --list FILE
// Last line: RESULT ok=1 bytes=B wall_s=S
#include "ArchiveSeries.h"
#include "Archiver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QStringList>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4 || args[2] != QLatin1String("--list")) {
        std::fprintf(stderr, "usage: %s OUT.zip --list FILE\n", argv[0]);
        return 2;
    }
    QFile list(args[3]);
    if (!list.open(QIODevice::ReadOnly))
        return 2;
    QStringList files;
    for (const QByteArray &line : list.readAll().split('\n'))
        if (!line.isEmpty())
            files << QFile::decodeName(line);
    QElapsedTimer t;
    t.start();
    const int fd = ::open(QFile::encodeName(args[1]).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return 1;
    try {
        std::atomic<bool> cancel{false};
        const Archive::TPlan plan = Archive::MakePlan(files, cancel, [] {});
        Archive::TPacker packer(plan, fd);
        packer.Start();
        while (!packer.Done())
            usleep(1000);
        if (packer.Failure())
            std::rethrow_exception(packer.Failure());
        std::printf("RESULT ok=1 bytes=%llu wall_s=%.6f\n", static_cast<unsigned long long>(packer.Written()),
                    t.nsecsElapsed() / 1e9);
    } catch (const std::exception &e) {
        std::printf("RESULT ok=0 reply=%s\n", e.what());
        ::close(fd);
        return 1;
    }
    ::close(fd);
    return 0;
}
