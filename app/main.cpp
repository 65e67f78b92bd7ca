#include "Controls/ambrelinterface.h"
#include "app/session.h"
#include "app/splash.h"
#include "app/startup.h"
#include "app/windows/look.h"
#include "directory/tamsin.h"
#include "net/localaddress.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Ferrin1"));
    QApplication::setApplicationVersion(QStringLiteral(FERRIN_VERSION));
    // The program ends through its own exit command, not when its last
    // window closes or hides.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(Look::programIcon());
    Look::resolveComicFace();

    // This machine's address, taken once: the record registered at
    // "Connect", the listeners and the records removed at "Exit" all name
    // it, whatever happens to the machine's addresses meanwhile. The
    // directory host is a build setting; there is no run-time one.
    const QString address = LocalAddress::detect();
    const ProgramSettings settings = Startup::defaultSettings(QStringLiteral(FERRIN_DIRECTORY_HOST), address);
    QString error;
    AmbrelFactory *strips = Startup::loadAmbrel(settings.programFolder, &error);
    if (!strips) {
        std::fprintf(stderr, "Ferrin1: %s\n", qPrintable(error));
        return 1;
    }

    // From here on every way out - File > Exit, a signal, the end of the
    // desktop session, closing the start-up window - goes through the session.
    Session session(settings, Tamsin::peers(), Session::endProcessNow);
    Splash splash(*strips, session);
    splash.show();
    return QApplication::exec();
}
