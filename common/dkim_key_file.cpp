#include "common/dkim_key_file.h"

#include "common/ascii.h"

std::string DkimKeyFile(std::string_view appDir, std::string_view domain,
                        std::string_view selector) {
    std::string path(appDir);
    path += "/dkim/";
    path += AsciiLowerCopy(domain);
    path += '/';
    path += selector;
    path += ".key";
    return path;
}
