// Creates the number of mails given in the application directory named by RELVO_APP_DIR and
// prints their ids, one a line.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/app_paths.h"
#include "mime/builder_api.h"

int main(int argc, char** argv) {
    const char* appDir = std::getenv(kAppDirEnvironmentVariable);
    if (appDir == nullptr) {
        return 2;
    }
    OverrideApplicationDirectory(appDir);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1;
    for (int i = 0; i < count; ++i) {
        std::printf("%d\n", relvo::mail::BuilderCreateMail(""));
    }
    return 0;
}
