// A copy whose exit command holds up the event loop, so that a second
// signal can only be taken by the signal handler's own end. It serves the
// Shared folder of a program folder, as a copy does.
//
//   stuckcopy PROGRAMFOLDER ADDRESS
//
// Prints the upload port once it listens, then "leaving" once the first
// signal has asked it to end; from then on its event loop never runs again.

#include "app/sessionend.h"
#include "net/uploadresponder.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3)
        return 2;
    UploadResponder uploads(QString::fromLocal8Bit(argv[1]), QString::fromLatin1(argv[2]), 0);
    if (!uploads.start())
        return 1;
    SessionEnd end;
    QObject::connect(&end, &SessionEnd::endRequested, [] {
        std::printf("leaving\n");
        std::fflush(stdout);
        for (;;)
            pause();
    });
    std::printf("%u\n", unsigned(uploads.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}
