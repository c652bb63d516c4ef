#include "common/record_table.h"

namespace {

// Record tables live in the main configuration file.
constexpr std::string_view kMainFile = ".cfg";

}  // namespace

RecordTable::RecordTable(std::string listSection, std::string infoSection)
    : listSection_(std::move(listSection)), infoSection_(std::move(infoSection)) {}

std::vector<std::string> RecordTable::Names() const {
    std::vector<std::string> names;
    ProfileGetSection(listSection_, &names);
    return names;
}

bool RecordTable::Contains(std::string_view name) const {
    // An empty key is never listed by Names(), so it is no record either.
    return !name.empty() && ProfileHasKey(listSection_, name, kMainFile);
}

std::string RecordTable::GetText(std::string_view name, std::string_view field,
                                 std::string_view defaultValue) const {
    return ProfileGetString(infoSection_, FieldKey(name, field), defaultValue, kMainFile);
}

int RecordTable::GetInt(std::string_view name, std::string_view field, int defaultValue) const {
    return ProfileGetInt(infoSection_, FieldKey(name, field), defaultValue, kMainFile);
}

bool RecordTable::Put(std::string_view name, const Fields& fields) const {
    ProfileBatch batch;
    AddToBatch(batch, name, fields);
    return batch.Commit(kMainFile);
}

void RecordTable::AddToBatch(ProfileBatch& batch, std::string_view name,
                             const Fields& fields) const {
    batch.Set(listSection_, name, "1");
    for (const auto& [field, value] : fields) {
        batch.Set(infoSection_, FieldKey(name, field), value);
    }
}

bool RecordTable::Remove(std::string_view name, const std::vector<std::string>& fieldNames) const {
    ProfileBatch batch;
    batch.Remove(listSection_, name);
    for (const std::string& field : fieldNames) {
        batch.Remove(infoSection_, FieldKey(name, field));
    }
    return batch.Commit(kMainFile);
}

std::string RecordTable::FieldKey(std::string_view name, std::string_view field) const {
    std::string key(name);
    key += '_';
    key += field;
    return key;
}
