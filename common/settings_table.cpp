#include "common/settings_table.h"

#include <algorithm>

#include "common/profile_store.h"

namespace relvo {

int NumberInUse(const SettingInfo& setting, int stored) {
    switch (setting.rule) {
        case FileRule::AsWritten:
            return stored;
        case FileRule::LimitOrDefault:
            // A typing slip (0, a sign) must neither disable a limit nor starve the server.
            if (stored <= 0) {
                return setting.defaultValue;
            }
            return std::clamp(stored, setting.minimum, setting.maximum);
        case FileRule::HeldToRange:
            return std::clamp(stored, setting.minimum, setting.maximum);
    }
    return stored;
}

int ReadNumberSetting(const ProfileSnapshot& file, const SettingInfo& setting) {
    return NumberInUse(setting, file.GetInt(setting.section, setting.key, setting.defaultValue));
}

bool ReadFlagSetting(const ProfileSnapshot& file, const SettingInfo& setting) {
    return file.GetInt(setting.section, setting.key, setting.defaultValue) != 0;
}

std::string ReadTextSetting(const ProfileSnapshot& file, const SettingInfo& setting) {
    return file.GetString(setting.section, setting.key, "");
}

}  // namespace relvo
