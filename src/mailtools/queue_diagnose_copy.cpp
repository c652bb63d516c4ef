#include "mailtools/queue_diagnose_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/mail_queue.h"
#include "common/owner_only_directory.h"
#include "common/profile_store.h"
#include "common/queue_scan.h"
#include "common/utilities.h"

namespace q = mailqueue;

bool CopyForDiagnose(const std::string& dir, uint32_t id, std::string* copyPath,
                     std::string* error) {
    // The engine refuses larger mails anyway; a copy is never made of a file that grew past it.
    constexpr size_t kMaxCopy = 256u << 20;
    std::string message;
    bool whole = false;
    if (!q::ReadMessage(dir, id, kMaxCopy, &message, &whole, error)) {
        return false;
    }
    if (!whole) {
        *error = "the mail is larger than " + std::to_string(kMaxCopy >> 20) + " MiB";
        return false;
    }
    const q::QueueEntryView entry = q::ReadQueueEntry(dir, id);
    const std::string name = "queued-" + std::to_string(id);
    MakeOwnerOnlyDirectory(AppFilePath(std::string_view("mail")));
    const std::string eml = AppFilePath(name + ".eml", "mail");
    const std::string temporary = eml + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    bool written = fd >= 0 && write(fd, message.data(), message.size()) ==
                                  static_cast<ssize_t>(message.size());
    if (fd >= 0) {
        written = close(fd) == 0 && written;
    }
    if (!written || rename(temporary.c_str(), eml.c_str()) != 0) {
        *error = "cannot write " + eml + ": " + std::strerror(errno);
        unlink(temporary.c_str());
        return false;
    }
    // A fresh companion: whatever an earlier diagnose of this copy left (relay, login) goes.
    const std::string companion = AppFilePath(name + ".cfg", "mail");
    ProfileSnapshot old(companion);
    ProfileBatch batch;
    for (const char* section : {q::kSection, "RelayInfo"}) {
        std::vector<std::string> keys;
        old.GetSection(section, &keys);
        for (const std::string& key : keys) {
            batch.Remove(section, key);
        }
    }
    batch.SetInt(q::kSection, q::kMailId, 0);
    batch.Set(q::kSection, q::kMailFrom, entry.sender);
    batch.SetInt(q::kSection, q::kRecipientCount, entry.recipients.empty() ? 0 : 1);
    if (!entry.recipients.empty()) {
        batch.Set(q::kSection, q::RecipientKey(0), entry.recipients.front().address);
    }
    // Who handed it in goes along: the diagnose send signs only mail a trusted client submitted.
    const q::CompanionReader original(dir, id);
    for (const char* key : {q::kClientAddress, q::kAuthUser}) {
        if (original.Has(key)) {
            batch.Set(q::kSection, key, original.Text(key));
        }
    }
    if (!batch.Commit(companion)) {
        *error = ProfileLastWriteError();
        return false;
    }
    *copyPath = eml;
    return true;
}
