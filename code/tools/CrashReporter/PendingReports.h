#pragma once
// Reports that could not be delivered are kept and sent again on later runs.
//
// Every report folder the reporter makes has a state file, kept beside the report folders in a
// hidden folder of their parent (".morvex-state/<folder name>.report"), so that the report folder
// itself holds only the report's files for the player to see. The state holds everything needed to
// send the report again: the fields, the kind, the files, whether the event was posted, the
// attempts so far, the last error and the time of the next attempt. It is written atomically (a
// temporary file, fsync, rename), so a reporter killed at any instant leaves the old state or the
// new one. A lock file beside it ("<folder name>.lock", held with flock while a reporter sends the
// report) keeps two reporters from sending the same report; the system drops the lock of a
// reporter that dies.
//
// Later runs send the due pending reports of their --user-path (oldest first, at most
// pending_maxPerRun), back off between attempts (pending_backoffBaseSec x 2^(attempts - 1), at most
// a day), abandon a report after pending_maxAttempts attempts or pending_maxAgeDays days, keep at
// most reports_maxPerHour uploads a user path in any hour, and keep the store within
// reports_maxKept reports and reports_maxTotalMB megabytes. Main thread only.

#include "CrashReporter.h"

#include "Core/CVar.h"
#include "Core/IO/PlatformFile.h"
#include "Core/StaticString.h"
#include "Core/Types.h"

#include <string>
#include <vector>

namespace Morvex
{
extern CVar pending_maxPerRun;
extern CVar pending_backoffBaseSec;
extern CVar pending_maxAttempts;
extern CVar pending_maxAgeDays;
extern CVar reports_maxKept;
extern CVar reports_maxTotalMB;
extern CVar reports_maxPerHour;

// The hidden folder beside the report folders that holds their states and locks.
constexpr const char* kReportStateFolder = ".morvex-state";
// The state file and the lock file of a report folder.
FilePath ReportStatePath(const FilePath& folder);
FilePath ReportLockPath(const FilePath& folder);

enum class ReportStatus : uint32
{
    Pending = 0,
    Delivered = 1,
    Rejected = 2,
    Abandoned = 3,
    // The player cancelled the dialog where the studio honours that as a refusal: kept, never sent.
    Declined = 4,
};
const char* ReportStatusName(ReportStatus status);

// What is kept of one report between runs.
struct ReportState
{
    ReportStatus status = ReportStatus::Pending;
    // The fields as they were sent (the player's text in Comments included) and the --user-path
    // the report belongs to.
    CrashReporterSettings settings;
    Report report;
    bool eventPosted = false;
    uint32 attempts = 0;
    std::string lastError;
    std::string serverReportId;
    int64 createdMs = 0;
    int64 nextAttemptMs = 0;
};

// The state file's text, and the reverse. ReadReportState never fails: text that is empty,
// truncated, corrupt, of another format or too large yields what could be read (the fields a
// hostile file names are taken only as texts) and `problem` says what was wrong (empty when
// nothing was). The reader takes at most kMaxReportStateBytes.
constexpr uint32 kMaxReportStateBytes = 1 << 20;
std::string WriteReportState(const ReportState& state);
void ReadReportState(StrView text, ReportState& state, std::string& problem);

// The state of the report in `folder`: read from its state file, or, when that is missing or
// unreadable, a pending report with default fields whose files are the folder's files (logged at
// Warning unless `quiet`; `damaged`, when given, tells). Such a report belongs to the user path
// whose "Exceptions" folder holds it. Times from the future (a clock set back, a hostile file) are
// brought back to now. False only when the folder has no report at all (no state file and no file).
bool LoadReportState(const FilePath& folder, ReportState& state, bool quiet = false, bool* damaged = nullptr);
// Writes the state file atomically (and durably: the file and its folder are synced); false (and
// the old state kept) when it cannot be written.
bool SaveReportState(const FilePath& folder, const ReportState& state);

// Records a new report of this run as pending, before anything else can happen to it (the dialog
// may stay open for long). The caller holds the report's lock. False when it cannot be saved.
bool TrackNewReport(const CrashReporterSettings& settings, const Report& report);

// Marks the run's own report declined by the player (the caller holds its lock), unless something
// was sent already (a dialog send that failed before the player cancelled). False when it was not
// marked.
bool DeclineReport(const FilePath& folder);

// The wait before the next attempt after `attempts` failed ones, in milliseconds.
int64 PendingBackoffMs(uint32 attempts);

// Holds a report's lock while it lives. Held() is false when another reporter holds it (Busy())
// or when the lock file cannot be used at all.
class ReportLock
{
public:
    explicit ReportLock(const FilePath& folder);
    ~ReportLock();
    ReportLock(const ReportLock&) = delete;
    ReportLock& operator=(const ReportLock&) = delete;
    bool Held() const { return m_handle >= 0; }
    bool Busy() const { return m_handle == kLockBusy; }

private:
    int64 m_handle = kLockFailed;
};

// Takes one upload of the hourly allowance of `userPath` (a ledger of upload times beside its
// report folders, kept under a lock). False when reports_maxPerHour uploads were made within the
// last hour; `retryAtMs` then tells when the next one is allowed. `takenAtMs` (may be null) gets
// what ReturnUploadSlot needs.
bool TakeUploadSlot(const FilePath& userPath, int64& retryAtMs, int64* takenAtMs = nullptr);
// Gives back a slot whose upload never reached a server (nothing answered the connection): an
// offline player's crashes do not use up the allowance.
void ReturnUploadSlot(const FilePath& userPath, int64 takenAtMs);

// Updates and saves a report's state with what a delivery did: delivered (with the server's report
// id, logged as "Server report id: ..."), rejected for good, or still pending with its next attempt
// due after the backoff (or later, when the server's Retry-After or the hourly allowance asks).
// True when the state was saved.
bool RecordOutcome(const FilePath& folder, ReportState& state, const SendResult& result);

// Sends the due pending reports of the settings' user path (other than `exclude`, the run's own
// report folder), oldest first, at most pending_maxPerRun of them, and keeps the store within its
// limits. Returns the number of pending reports that could not be read whole (a damaged state
// file, files gone).
uint32 SendPendingReports(const CrashReporterSettings& settings, const FilePath& exclude);

// Removes delivered, rejected and declined reports beyond the limits, oldest first, then abandoned ones, then
// pending ones (each named in a Warning); never `exclude` nor a report another reporter holds, and
// nothing for a limit that the reports it may not remove exceed by themselves. Also removes states
// whose report folder is gone and temporary files a killed reporter left.
void EnforceStoreLimits(const FilePath& userPath, const FilePath& exclude);
} // namespace Morvex
