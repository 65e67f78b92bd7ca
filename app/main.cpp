#include "Controls/ambrelinterface.h"
#include "app/sessionend.h"
#include "app/splash.h"
#include "app/startup.h"
#include "app/windows/look.h"
#include "directory/tamsin.h"

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

    // The directory host is a build setting; there is no run-time one.
    const ProgramSettings settings = Startup::defaultSettings(QStringLiteral(FERRIN_DIRECTORY_HOST));
    QString error;
    AmbrelFactory *strips = Startup::loadAmbrel(settings.programFolder, &error);
    if (!strips) {
        std::fprintf(stderr, "Ferrin1: %s\n", qPrintable(error));
        return 1;
    }

    Splash splash(*strips, settings, Tamsin::peers());
    // A kill, Ctrl+C or the end of the desktop session runs the exit command.
    SessionEnd session;
    QObject::connect(&splash, &Splash::connectStarted, &session, [&session] { session.setHoldQuit(true); });
    QObject::connect(&session, &SessionEnd::endRequested, &splash, &Splash::endSession);
    splash.show();
    return QApplication::exec();
}
