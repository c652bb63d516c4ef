// relvoconsole: the desktop console of the Relvo SMTP Server.
#include <QStringList>
#include <cstdio>
#include <string>

#include "app/config_app.h"
#include "common/install_layout.h"

int main(int argc, char** argv) {
    if (std::string problem = ApplyInstallLayout(TakeDataDirArgument(argc, argv));
        !problem.empty()) {
        std::fprintf(stderr, "relvoconsole: %s\n", problem.c_str());
        return 2;
    }
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    CRelvoConfigApp app(arguments);
    return app.Run(argc, argv);
}
