// Approved releases (approvals.h).
#include "central/approvals.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "output/json_line.h"
#include "output/shown_text.h"
#include "record/sha256.h"
#include "record/utc_time.h"

bool releaseProductId(const std::string& path, std::string* productId, std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    char head[4];
    if (!in.read(head, 4)) {
        *error = "cannot read a product identifier from " + path;
        return false;
    }
    *productId = shownBytes(head, 4);
    return true;
}

bool releaseIdentity(const std::string& path, std::string* sha256, std::string* productId, std::string* error)
{
    return releaseProductId(path, productId, error) && sha256File(path, sha256, error);
}

bool approveRelease(OdbcConnection& db, const ReleaseApproval& a, OdbcError* error)
{
    return db.exec("INSERT INTO releases (sha256, product_id, release_file, approved_by, approved_utc) "
                   "VALUES (?, ?, ?, ?, ?) ON CONFLICT (sha256, product_id) DO UPDATE SET "
                   "release_file = EXCLUDED.release_file, approved_by = EXCLUDED.approved_by, "
                   "approved_utc = EXCLUDED.approved_utc, revoked_by = NULL, revoked_utc = NULL",
                   {a.sha256, a.productId, a.releaseFile, a.approvedBy, a.approvedUtc}, error);
}

bool revokeRelease(OdbcConnection& db, const ReleaseApproval& a, bool* found, OdbcError* error)
{
    std::vector<OdbcRow> rows;
    if (!db.exec("UPDATE releases SET revoked_by = ?, revoked_utc = ? WHERE sha256 = ? AND product_id = ? "
                 "RETURNING sha256",
                 {a.revokedBy, a.revokedUtc, a.sha256, a.productId}, error, &rows))
        return false;
    *found = !rows.empty();
    return true;
}

bool fetchApprovals(OdbcConnection& db, std::vector<ReleaseApproval>* approvals, OdbcError* error, int64_t latest)
{
    std::vector<OdbcRow> rows;
    const std::string columns = "sha256, product_id, release_file, approved_by, approved_utc, revoked_by, revoked_utc";
    const bool ok = latest > 0
                        ? db.exec("SELECT * FROM (SELECT " + columns + " FROM releases ORDER BY approved_utc DESC "
                                  "LIMIT CAST(? AS bigint)) latest ORDER BY approved_utc",
                                  {std::to_string(latest)}, error, &rows)
                        : db.exec("SELECT " + columns + " FROM releases ORDER BY approved_utc", {}, error, &rows);
    if (!ok)
        return false;
    approvals->clear();
    for (const OdbcRow& r : rows) {
        auto text = [&r](size_t i) { return r.size() > i && r[i] ? *r[i] : std::string(); };
        approvals->push_back({text(0), text(1), text(2), text(3), text(4), text(5), text(6)});
    }
    return true;
}

ApprovalState approvalOf(const std::vector<ReleaseApproval>& approvals, const std::string& sha256,
                         const std::string& productId)
{
    for (const ReleaseApproval& a : approvals)
        if (a.sha256 == sha256 && a.productId == productId)
            return a.revokedUtc.empty() ? ApprovalState::Approved : ApprovalState::Revoked;
    return ApprovalState::NotApproved;
}

std::string approvalCachePath(const std::string& recordPath) { return recordPath + ".approvals.json"; }

bool saveApprovalCache(const std::string& path, const std::vector<ReleaseApproval>& approvals,
                       const std::string& fetchedUtc, std::string* error)
{
    nlohmann::json list = nlohmann::json::array();
    for (const ReleaseApproval& a : approvals)
        list.push_back({{"sha256", a.sha256}, {"product_id", a.productId}, {"release_file", a.releaseFile},
                        {"approved_by", a.approvedBy}, {"approved_utc", a.approvedUtc},
                        {"revoked_by", a.revokedBy}, {"revoked_utc", a.revokedUtc}});
    const std::string aside = path + ".new";
    {
        std::ofstream out(aside, std::ios::binary | std::ios::trunc);
        out << jsonLine(nlohmann::json{{"fetched_utc", fetchedUtc}, {"releases", list}}) << "\n";
        if (!out.flush()) {
            *error = "cannot write " + aside;
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(aside, path, ec);
    if (ec)
        *error = "cannot replace " + path + ": " + ec.message();
    return !ec;
}

bool loadApprovalCache(const std::string& path, std::vector<ReleaseApproval>* approvals, std::string* fetchedUtc,
                       std::string* error)
{
    std::ifstream in(path, std::ios::binary);
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (!in.is_open() || !j.is_object() || !j.contains("releases") || !j["releases"].is_array()) {
        *error = "no approvals fetched before (" + path + " missing or unreadable)";
        return false;
    }
    auto text = [](const nlohmann::json& o, const char* key) {
        return o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : std::string();
    };
    *fetchedUtc = text(j, "fetched_utc");
    approvals->clear();
    for (const nlohmann::json& o : j["releases"])
        if (o.is_object())
            approvals->push_back({text(o, "sha256"), text(o, "product_id"), text(o, "release_file"),
                                  text(o, "approved_by"), text(o, "approved_utc"), text(o, "revoked_by"),
                                  text(o, "revoked_utc")});
    return true;
}

bool approvalsFresh(const std::string& fetchedUtc, std::chrono::seconds maxAge, std::string* why)
{
    UtcTime fetched;
    if (!parseUtc(fetchedUtc, &fetched)) {
        *why = "the approvals kept do not say when they were fetched";
        return false;
    }
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now() - fetched);
    if (age <= maxAge)
        return true;
    char text[160];
    std::snprintf(text, sizeof text, "%.1f days ago, longer than the %g days approvals are trusted without the "
                                     "server (--approval-max-age)",
                  static_cast<double>(age.count()) / 86400, static_cast<double>(maxAge.count()) / 86400);
    *why = "the approvals were last fetched at " + fetchedUtc + ", " + text;
    return false;
}
