// The revocation list at a station (revocation_watch.h).
#include "station/revocation_watch.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "central/central_connection.h"
#include "central/revocation_store.h"
#include "output/shown_text.h"
#include "signing/trusted_keys.h"
#include "signing/whole_file.h"

namespace fs = std::filesystem;

namespace {

constexpr int kCentralLoginSeconds = 5;
constexpr std::chrono::milliseconds kRecheckAfterFailure(1000);

int64_t readSeen(const std::string& path)
{
    std::string text, error;
    if (!readSmallFile(path, 64, &text, &error))
        return 0;
    try {
        return std::stoll(text);
    } catch (const std::exception&) {
        return 0;
    }
}

std::string listFolder(const std::string& trustedKeys)
{
    std::error_code ec;
    return fs::is_directory(trustedKeys, ec) ? trustedKeys : fs::path(trustedKeys).parent_path().string();
}

}  // namespace

bool RevocationWatch::atStart(const ReleaseCopy& release, std::string* error)
{
    if (options_.trust.policy == SignaturePolicy::Off)
        return true;
    if (!loadTrustedKeys(options_.trust.trustedKeys, &keys_, error))
        return false;
    folderList_ = (fs::path(listFolder(options_.trust.trustedKeys)) / kRevocationFileName).string();
    seenPath_ = options_.recordPath + ".revocations-seen";
    seen_ = readSeen(seenPath_);
    releaseName_ = release.name;
    sha256_ = release.sha256;
    productId_ = release.productId;
    RevocationList newest;
    std::string source;
    if (!newestList(&newest, &source, error))
        return false;
    if (newest.sequence == 0 && seen_ == 0)
        return true;
    *error = judge(newest, source);
    if (!error->empty())
        return false;
    sequence_ = newest.sequence;
    issuedUtc_ = newest.issuedUtc;
    nextCheck_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.approvalCheckMs);
    return true;
}

bool RevocationWatch::newestList(RevocationList* newest, std::string* source, std::string* error)
{
    std::error_code ec;
    if (fs::exists(folderList_, ec)) {
        if (!loadRevocations(folderList_, keys_, newest, error))
            return false;
        *source = folderList_;
    }
    RevocationList central;
    if (!centralList(&central, error))
        return false;
    if (central.sequence > newest->sequence) {
        *newest = central;
        *source = "the central database";
    }
    return true;
}

bool RevocationWatch::centralList(RevocationList* list, std::string* error)
{
    if (options_.central.connection.empty())
        return true;
    OdbcError e;
    StoredRevocations stored;
    auto db = connectCentral(options_.central, kCentralLoginSeconds, &e);
    if (!db || !fetchNewestRevocations(*db, &stored, &e)) {
        std::fprintf(stderr, "tarvolo station: the revocation list could not be fetched from the central "
                             "database (%s): using the configuration folder's\n", terminalSafe(e.text()).c_str());
        return true;
    }
    return stored.sequence == 0 ||
           parseSignedRevocations(stored.list, stored.signature, keys_, "of the central database", list, error);
}

std::string RevocationWatch::judge(const RevocationList& list, const std::string& source)
{
    if (list.sequence == 0)
        return "no revocation list at " + folderList_ + " (nor in the central database), but list " +
               std::to_string(seen_) + " was seen before: refused";
    if (list.sequence < seen_)
        return "revocation list " + std::to_string(list.sequence) + " from " + source +
               " is older than list " + std::to_string(seen_) + ", which this station has seen: refused (an old "
               "list cannot be put back)";
    rememberSeen(list.sequence);
    if (const Revocation* r = revocationOf(list, sha256_, productId_))
        return releaseName_ + ": revoked (sha256 " + sha256_ + ", product " + productId_ + ") at " + r->revokedUtc +
               " by revocation list " + std::to_string(list.sequence) + " of key " + list.keyId;
    return "";
}

void RevocationWatch::rememberSeen(int64_t sequence)
{
    if (sequence <= seen_)
        return;
    seen_ = sequence;
    std::string error;
    if (!writeWholeFile(seenPath_, std::to_string(sequence) + "\n", FileUse::Public, &error))
        std::fprintf(stderr, "tarvolo station: %s\n", terminalSafe(error).c_str());
}

void RevocationWatch::poll(StationView& view)
{
    const auto now = std::chrono::steady_clock::now();
    if (options_.trust.policy == SignaturePolicy::Off || now < nextCheck_)
        return;
    nextCheck_ = now + std::chrono::milliseconds(options_.approvalCheckMs);
    RevocationList list;
    std::string hold, error;
    std::error_code ec;
    if (!fs::exists(folderList_, ec))
        list.sequence = 0;
    else if (!loadRevocations(folderList_, keys_, &list, &error))
        hold = error;
    // The list and its signature are two files, replaced one after the other: a list read
    // between the two renames fails its signature once. Only a failure that lasts holds.
    if (!hold.empty() && !failedOnce_) {
        failedOnce_ = true;
        nextCheck_ = now + std::min(std::chrono::milliseconds(options_.approvalCheckMs), kRecheckAfterFailure);
        return;
    }
    failedOnce_ = false;
    if (hold.empty() && (list.sequence > 0 || seen_ > 0))
        hold = judge(list.sequence > 0 ? list : RevocationList{}, folderList_);
    if (hold == hold_)
        return;
    hold_ = hold;
    view.show(nullptr, ArmingHold{"revocation", hold});
}
