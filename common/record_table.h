// Record tables in the main configuration file: a list section with one `<name>=1` line per
// record and an info section with `<name>_<Field>=<value>` lines. Used by the accounts, local
// domains and relay accounts. Names compare without regard to letter case, as the file does.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/profile_store.h"

class RecordTable {
  public:
    RecordTable(std::string listSection, std::string infoSection);

    // Record names in file order.
    std::vector<std::string> Names() const;
    bool Contains(std::string_view name) const;

    std::string GetText(std::string_view name, std::string_view field,
                        std::string_view defaultValue) const;
    int GetInt(std::string_view name, std::string_view field, int defaultValue) const;

    using Fields = std::vector<std::pair<std::string, std::string>>;
    // Writes the list line and every field in one atomic write.
    bool Put(std::string_view name, const Fields& fields) const;
    // Adds the same writes to a batch, for imports that store many records per write.
    void AddToBatch(ProfileBatch& batch, std::string_view name, const Fields& fields) const;
    // Removes the list line and the named fields in one atomic write.
    bool Remove(std::string_view name, const std::vector<std::string>& fieldNames) const;

    std::string FieldKey(std::string_view name, std::string_view field) const;
    const std::string& ListSection() const { return listSection_; }
    const std::string& InfoSection() const { return infoSection_; }

  private:
    std::string listSection_;
    std::string infoSection_;
};
