// relvoconsole: the desktop console of the Relvo SMTP Server.
#include <QStringList>
#include <cstdlib>

#include "app/config_app.h"
#include "config/app_paths.h"

int main(int argc, char** argv) {
    if (const char* directory = std::getenv(kAppDirEnvironmentVariable); directory && *directory) {
        OverrideApplicationDirectory(directory);
    }
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    CRelvoConfigApp app(arguments);
    return app.Run(argc, argv);
}
