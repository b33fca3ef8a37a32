// A download in gang mode as an operator meets it. The handset on CH1 is made to fall silent
// and to answer again by stopping and continuing its process (SIGSTOP, SIGCONT): Continue
// stays disabled while CH1 is silent, is enabled once it answers, is disabled again by the
// watchdog when it falls silent and enabled when it comes back; pressed, it lets the download
// go on to the gang completion text.
#include <string>

#include "resources/resource.h"
#include "tests/shell/wine/scenarios.h"

namespace {

// Stops or continues the handset's process; continues it when it goes out of scope, so that
// a failed check never leaves the handset stopped.
class HandsetSignals {
public:
    explicit HandsetSignals(std::string pid) : pid_(std::move(pid)) {}
    ~HandsetSignals() { signal("CONT"); }
    void signal(const char* name) { runUnix("/bin/sh -c \"kill -" + std::string(name) + " " + pid_ + "\""); }

private:
    std::string pid_;
};

// Samples Continue for `ms`; true when it was enabled at any moment.
bool continueEverEnabled(HWND dialog, DWORD ms)
{
    bool enabled = false;
    for (DWORD waited = 0; waited < ms; waited += 50) {
        enabled = enabled || itemEnabled(dialog, IDC_CONTINUE);
        sleepMs(50);
    }
    return enabled;
}

// Waits up to `ms` until Continue is enabled (or disabled); true when it came to that.
bool continueBecomes(HWND dialog, bool enabled, DWORD ms)
{
    for (DWORD waited = 0; waited < ms; waited += 50) {
        if (itemEnabled(dialog, IDC_CONTINUE) == enabled)
            return true;
        sleepMs(50);
    }
    return false;
}

std::string phaseOf(HWND dialog) { return itemText(dialog, IDC_PHASE_LINE); }
std::string adviceOf(HWND dialog) { return itemText(dialog, IDC_ADVICE_LINE); }

// CH1 silent, answering, silent, answering again; the screenshot while Continue is enabled.
void followCh1(HWND dialog, HandsetSignals& handset, const std::string& shot)
{
    check(!continueEverEnabled(dialog, 1500), "Continue stays disabled while CH1 is silent");
    check(contains(phaseOf(dialog), "Waiting for mobile signal..."), "status \"Waiting for mobile signal...\"");
    check(contains(adviceOf(dialog), "Connect a mobile to CH1."), "advice \"Connect a mobile to CH1.\"");

    handset.signal("CONT");
    check(continueBecomes(dialog, true, 5000), "Continue is enabled once CH1 answers");
    check(contains(phaseOf(dialog), "Mobile signal received"), "status \"Mobile signal received\"");
    check(contains(adviceOf(dialog), "then select 'Continue'"), "advice to select 'Continue'");
    sleepMs(300);  // let the dialog paint
    screenshot(shot);

    handset.signal("STOP");
    check(continueBecomes(dialog, false, 5000), "Continue is disabled again when CH1 falls silent");
    check(contains(phaseOf(dialog), "Waiting for mobile signal..."), "back to waiting for the signal");
    handset.signal("CONT");
    check(continueBecomes(dialog, true, 5000), "Continue is enabled again when CH1 comes back");
}

void checkGangCompletion(HWND box)
{
    const std::string text = messageText(box);
    const std::string head = "Download to the mobile on CH1 completed successfully.\nChecksum ";
    const std::string tail = "\nPlease check that all other mobiles have powered down.\nIf any have not, "
                             "re-run download without power-cycling\nor disconnecting them.";
    check(text.size() == head.size() + 4 + tail.size() && text.rfind(head, 0) == 0 &&
              text.compare(head.size() + 4, std::string::npos, tail) == 0,
          "the gang completion text: \"" + text + "\"");
}

}  // namespace

// args: release file, the handset's flash file, the handset's process id, the screenshot of
// the dialog with Continue enabled.
void gangScenario(const Context& c)
{
    const std::string release = c.args.at(0);
    HandsetSignals handset(c.args.at(2));
    handset.signal("STOP");
    Settings s = settingsWith(release, release);
    s.gangMode = 1;
    // Erase and download would hold the gang for the full erase time (80 s), for the handsets
    // that do not answer: a normal download shows the same gang steps.
    s.downloadMode = 1;
    App app;
    if (!startWith(c, s, &app))
        return;
    HWND dialog = goAndFindDialog(app, release);
    if (dialog) {
        followCh1(dialog, handset, c.args.at(3));
        command(dialog, IDC_CONTINUE);
        check(continueBecomes(dialog, false, 1000), "pressing Continue disables it");
        HWND box = awaitOutcomeBox(app, dialog, 60000);
        if (box) {
            checkGangCompletion(box);
            command(box, IDOK);
            check(waitGone(dialog, 10000), "the download dialog closes after the box");
        }
        check(flashHolds(c.args.at(1), release), "the handset's flash holds the image");
    }
    closeApp(app);
}
