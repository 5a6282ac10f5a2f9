// Entry point of the desktop module, loaded by the connector for the tray application.

#include "desktop/desktop_session.h"

#include <QGuiApplication>

#include <cstdlib>
#include <exception>

extern "C" Q_DECL_EXPORT quorvel::app::Desktop* quorvel_desktop_create(int& argc, char** argv, std::string& problem) {
    try {
        // A display that cannot be opened must not abort the process: Qt falls back to the
        // offscreen platform, which tells us so.
        const bool platformChosen = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
        if (!platformChosen) {
            qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ? "xcb;offscreen"
                                                                                       : "wayland;xcb;offscreen");
        }
        auto app = std::make_unique<QApplication>(argc, argv);
        if (!platformChosen) {
            qunsetenv("QT_QPA_PLATFORM");
            if (QGuiApplication::platformName() == "offscreen") {
                const char* display = std::getenv("DISPLAY");
                problem = std::string("the display ") + (display != nullptr ? display : "") + " cannot be opened";
                return nullptr;
            }
        }
        app->setQuitOnLastWindowClosed(false);
        return new quorvel::desktop::DesktopSession(std::move(app));
    } catch (const std::exception& e) {
        problem = std::string("the desktop cannot start: ") + e.what();
        return nullptr;
    }
}
