// The port's table read against a grid written apart from it: every state x event pair, so a
// rule added for one pair cannot silently change another. Then what must hold across the whole
// table, and the sequences that once went wrong in a running station.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "station/port_state.h"

namespace {

using S = PortState;
using E = PortEvent;

// One letter per state; in the grid "." is ignored, "=" stays with actions.
const std::map<char, S> kLetters = {
    {'S', S::Starting}, {'P', S::Replacing}, {'A', S::AwaitingAdapter}, {'U', S::Unusable},
    {'N', S::Present}, {'R', S::Ready}, {'M', S::Armed}, {'W', S::AwaitingLabel}, {'L', S::Labelled},
    {'F', S::Flashing}, {'V', S::Removing}, {'T', S::Restarting}, {'H', S::RestartingWithHandset},
    {'X', S::Stopped}};

// Columns in the order of PortEvent:
//   Heard PortPresent PortAbsent PortUnusable Ready ArmTaken HandsetOn HandsetOff UnitStarted
//   Progress UnitEnded Unsent RemoveAsked WorkerError ReleaseFault ArmAllowed LabelGiven
//   WorkerSilent WorkerLost WorkerDone StartFailed StartDue Stop StopOverdue
const char* const kGrid[kPortStates] = {
    //  Hd PP PA PU Rd AT HOn HOff US Pg UE Un RA WE RF AA LG Si Lo Do SF SD St SO
    /*S*/ ". N A U R . . . . . . = . = = . = T T X T . = =",
    /*P*/ ". V A U R . . . . . . = . = = . = H H X H . = =",
    /*A*/ ". N = U R . . . . . . = . = = . = T T X . . = =",
    /*U*/ ". N A = R . . . . . . = . = = . = T T X . . = =",
    /*N*/ ". = A U R . . . . . . = V = = . = T T X . . = =",
    /*R*/ ". N A U = . . . . . . = . = = M = T T X . . = =",
    /*M*/ ". N A U R = W . F . V = . = = . = T T X . . = =",
    /*W*/ ". N A U R . . M F . V = . = = . L T T X . . = =",
    /*L*/ ". N A U R . . M F . V = . = = . = T T X . . = =",
    /*F*/ ". = = = R . . . . = V = . = = . = H H X . . = =",
    /*V*/ ". = A U R . . . . . . = = = = . = H H X . . = =",
    /*T*/ ". . . . . . . . . . . . . . . . = . . . . S X .",
    /*H*/ ". . . . . . . . . . . . . . . . = . . . . P X .",
    /*X*/ ". . . . . . . . . . . . . . . . = . . . . . . .",
};

bool hasWorker(S s) { return s != S::Restarting && s != S::RestartingWithHandset && s != S::Stopped; }

TEST(PortMachine, EveryStateAndEventAsTheGridSays)
{
    for (int si = 0; si < kPortStates; ++si) {
        std::vector<char> cells;
        for (const char* c = kGrid[si]; *c; ++c)
            if (*c != ' ')
                cells.push_back(*c);
        ASSERT_EQ(cells.size(), static_cast<size_t>(kPortEvents)) << "row " << si;
        const S state = static_cast<S>(si);
        for (int ei = 0; ei < kPortEvents; ++ei) {
            const E event = static_cast<E>(ei);
            const PortAnswer answer = portAnswer(state, event);
            const std::string pair = std::string(portStateName(state)) + " + " + portEventName(event) + " -> " +
                                     portStateName(answer.next) + ": " + portActionsText(answer.actions);
            const char cell = cells[ei];
            if (cell == '.') {
                EXPECT_TRUE(ignored(state, answer)) << pair;
            } else if (cell == '=') {
                EXPECT_EQ(answer.next, state) << pair;
                EXPECT_NE(answer.actions, 0u) << pair;
            } else {
                EXPECT_EQ(answer.next, kLetters.at(cell)) << pair;
            }

            // Across the table: a worker is never dropped without being waited for, a label
            // never left behind, a unit in progress never lost.
            if (hasWorker(state) && !hasWorker(answer.next) && event != E::StartFailed) {
                EXPECT_TRUE(answer.actions & (ForgetWorker | EndHungWorker)) << pair;
            }
            if (state == S::AwaitingLabel && answer.next != state) {
                EXPECT_TRUE(answer.actions & LeaveLabelQueue) << pair;
            }
            if (state == S::Labelled && answer.next != state && answer.next != S::Flashing && event != E::UnitEnded) {
                EXPECT_TRUE(answer.actions & GiveLabelBack) << pair;
            }
            if (state == S::Flashing && answer.next != state && event != E::UnitEnded) {
                EXPECT_TRUE(answer.actions & (RecordLostUnit | RecordHungUnit)) << pair;
            }
            // An action that needs what an event brings comes only with that event.
            const std::pair<uint32_t, E> brought[] = {{BeginUnit, E::UnitStarted}, {TrackProgress, E::Progress},
                                                      {RecordUnit, E::UnitEnded}, {TakeLabel, E::LabelGiven},
                                                      {RefuseLabel, E::LabelGiven}, {NotePort, E::PortPresent}};
            for (const auto& [action, with] : brought) {
                if (answer.actions & action) {
                    EXPECT_EQ(event, with) << pair;
                }
            }
            if (answer.actions & ScheduleRestart) {
                EXPECT_TRUE(answer.next == S::Restarting || answer.next == S::RestartingWithHandset) << pair;
            }
        }
    }
}

// Feeds events to one port and keeps every action it was asked to carry out.
struct Port {
    S state = S::Restarting;
    uint32_t all = 0;  // the actions since the last look
    Port& operator<<(E event)
    {
        const PortAnswer answer = portAnswer(state, event);
        state = answer.next;
        all |= answer.actions;
        return *this;
    }
    uint32_t took()
    {
        const uint32_t a = all;
        all = 0;
        return a;
    }
};

Port readyPort()
{
    Port port;
    port << E::StartDue << E::Heard << E::PortPresent << E::Ready;
    EXPECT_EQ(port.state, S::Ready);
    port.took();
    return port;
}

TEST(PortMachine, SequencesThatWentWrongBefore)
{
    // A worker killed mid-unit, its handset still on the cable: the unit is recorded, and the
    // fresh worker waits for that handset to go before it is ready, even if it dies meanwhile.
    Port killed = readyPort();
    killed << E::ArmAllowed << E::ArmTaken << E::UnitStarted << E::Progress << E::WorkerLost;
    EXPECT_EQ(killed.state, S::RestartingWithHandset);
    EXPECT_TRUE(killed.took() & RecordLostUnit);
    killed << E::StartDue;
    EXPECT_TRUE(killed.took() & StartWorkerForRemoval);
    killed << E::Heard << E::WorkerLost << E::StartDue;
    EXPECT_EQ(killed.took() & (StartWorkerForRemoval | StartWorker | CountEarlyEnd),
              StartWorkerForRemoval | CountEarlyEnd);
    killed << E::PortPresent << E::RemoveAsked;
    EXPECT_EQ(killed.state, S::Removing);
    killed << E::Ready << E::WorkerLost << E::StartDue;
    EXPECT_TRUE(killed.took() & StartWorker);  // once ready, its handset was gone
    EXPECT_EQ(killed.state, S::Starting);

    // A worker stopped (SIGSTOP) mid-unit: it is ended for its silence and its unit recorded
    // as hung once; what it had queued before it was ended changes nothing.
    Port paused = readyPort();
    paused << E::ArmAllowed << E::UnitStarted << E::WorkerSilent;
    EXPECT_EQ(paused.took() & (EndHungWorker | RecordHungUnit | RecordLostUnit), EndHungWorker | RecordHungUnit);
    paused << E::Progress << E::UnitEnded << E::WorkerLost;
    EXPECT_EQ(paused.took(), 0u);
    EXPECT_EQ(paused.state, S::RestartingWithHandset);

    // A label given and its handset taken off before the unit: the label goes back and the
    // port waits for the next handset; the same when the worker dies in between.
    Port labelled = readyPort();
    labelled << E::ArmAllowed << E::ArmTaken << E::HandsetOn;
    EXPECT_TRUE(labelled.took() & SeekLabel);
    labelled << E::LabelGiven << E::HandsetOff;
    EXPECT_EQ(labelled.state, S::Armed);
    EXPECT_TRUE(labelled.took() & (TakeLabel | SendGo | GiveLabelBack | LeaveLabelQueue));
    labelled << E::HandsetOn << E::LabelGiven << E::WorkerLost;
    EXPECT_TRUE(labelled.took() & GiveLabelBack);
    labelled << E::LabelGiven;  // a label for a port that can no longer take it
    EXPECT_EQ(labelled.took(), RefuseLabel);

    // Stopping: ports without a worker stop at once, one with a unit records it as it ends.
    Port stopping = readyPort();
    stopping << E::ArmAllowed << E::UnitStarted << E::Stop;
    EXPECT_TRUE(stopping.took() & SendStop);
    stopping << E::UnitEnded << E::Heard << E::WorkerDone;
    EXPECT_EQ(stopping.state, S::Stopped);
    EXPECT_FALSE(stopping.took() & (ScheduleRestart | RecordLostUnit));
}

// The restart back-off: doubles from one second to thirty, back to one after a completed unit.
TEST(PortMachine, RestartBackoff)
{
    using std::chrono::seconds;
    RestartBackoff backoff;
    const RestartBackoff::Clock::time_point t0{};
    std::vector<int64_t> pauses;
    for (int i = 0; i < 7; ++i)
        pauses.push_back(std::chrono::duration_cast<seconds>(backoff.next(t0) - t0).count());
    EXPECT_EQ(pauses, (std::vector<int64_t>{1, 2, 4, 8, 16, 30, 30}));
    backoff.reset();
    EXPECT_EQ(backoff.next(t0 + seconds(5)), t0 + seconds(6));

    // Workers that cannot even start keep the port on the restart path, each time counted.
    Port port;
    for (int i = 0; i < 3; ++i) {
        port << E::StartDue << E::StartFailed;
        EXPECT_EQ(port.took() & (StartWorker | CountStartFailure | ScheduleRestart),
                  StartWorker | CountStartFailure | ScheduleRestart);
    }
    EXPECT_EQ(port.state, S::Restarting);
}

}  // namespace
