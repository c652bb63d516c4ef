// Where a domain's DKIM signing keys lie, for the console that makes them and the engine that
// signs with them: one file per selector, so that an older key stays for mail still in flight.
#pragma once

#include <string>
#include <string_view>

// <appDir>/dkim/<domain in lower case>/<selector>.key. The caller checks that the domain and
// the selector are plain names: the path is built from them as they are.
std::string DkimKeyFile(std::string_view appDir, std::string_view domain,
                        std::string_view selector);
