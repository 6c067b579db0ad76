// Several devices with the remote's identifiers behind one handle, until one of them answers.
//
// A race is the handle's set of candidates. Writes go to every candidate still in it, one after
// the other, under the race's write lock; a read waits on all of them at once. The first to
// deliver an input report is chosen, and from then on the handle is that candidate's link. The
// others are let go on a thread of their own, so that neither that read nor any later call waits
// for them: it takes the write lock (a write to the candidates in progress ends first), takes them
// out of the race, and then sends each that took a write the mode request for button-only
// reports, so that no second remote is left streaming, and closes it.
//
// Readers take no lock: the program may end a reading thread by force.
#include "hid/candidates.h"

#include <windows.h>

#include <atomic>

#include "hid/call_log.h"
#include "hid/overlapped_link.h"

static_assert(kMaxCandidates <= kMaxReadFirst, "a read waits on every candidate at once");

namespace {

// Handles with several candidates open at once. A closed race's slot serves a new one once its
// last call has returned; with none free a handle keeps its first candidate alone, as a handle
// with one has.
constexpr int kRaceSlots = 32;
// Slot states where a race's handle would be.
constexpr int kFreeSlot = 0;
constexpr int kClaimedSlot = -1;

struct Race {
    // The first candidate's link number, once the race is set up (link numbers are never reused,
    // so neither are handles), or a slot state.
    std::atomic<int> handle;
    // References: one for the race while it is open, one for each call inside it and one for
    // the thread that lets the others go.
    std::atomic<int> users;
    int links[kMaxCandidates];
    int linkCount;
    std::atomic<bool> inRace[kMaxCandidates];
    std::atomic<bool> tookWrite[kMaxCandidates];
    std::atomic<int> chosen; // the link that answered first; 0 until then
    std::atomic<bool> open;
    HANDLE wake; // set by the close: wakes a read that waits on the candidates
    SRWLOCK writeLock;
};

Race races[kRaceSlots];

void ReleaseRace(Race& race) {
    if (race.users.fetch_sub(1) != 1)
        return;
    CloseHandle(race.wake);
    race.handle = kFreeSlot;
}

// The race behind a handle, with a reference held, or null for a handle of one link.
Race* AcquireRace(int handle) {
    if (handle <= 0)
        return nullptr;
    for (Race& race : races) {
        if (race.handle != handle)
            continue;
        if (!AddReference(race.users))
            return nullptr;
        // The slot may have gone to a newer race between the look and the reference.
        if (race.handle != handle) {
            ReleaseRace(race);
            return nullptr;
        }
        return &race;
    }
    return nullptr;
}

// Takes candidate i out of the race, once; false if it was out already.
bool Leave(Race& race, int i, const char* why) {
    if (!race.inRace[i].exchange(false))
        return false;
    LogCall(CallLogNowMs(), "Candidate %d -> %d %s", race.handle.load(), race.links[i], why);
    return true;
}

DWORD WINAPI LetGoOthers(void* raceIndex) {
    Race& race = races[reinterpret_cast<INT_PTR>(raceIndex)];
    bool letGo[kMaxCandidates] = {};
    AcquireSRWLockExclusive(&race.writeLock);
    for (int i = 0; i < race.linkCount; ++i)
        letGo[i] = race.links[i] != race.chosen &&
                   Leave(race, i, race.tookWrite[i] ? "let go after 12 00 30" : "let go");
    ReleaseSRWLockExclusive(&race.writeLock);
    for (int i = 0; i < race.linkCount; ++i) {
        if (!letGo[i])
            continue;
        if (race.tookWrite[i]) {
            // The remote's mode request for button-only reports: it stops streaming.
            unsigned char buttonsOnly[kCallerReportLimit] = {0x12, 0x00, 0x30};
            LinkWrite(race.links[i], buttonsOnly, nullptr);
        }
        LinkClose(race.links[i]);
    }
    ReleaseRace(race);
    return 0;
}

void Choose(Race& race, int answered) {
    int none = 0;
    if (!race.inRace[answered] || !race.chosen.compare_exchange_strong(none, race.links[answered]))
        return;
    LogCall(CallLogNowMs(), "Candidate %d -> %d answered", race.handle.load(),
            race.links[answered]);
    const INT_PTR raceIndex = &race - races;
    race.users.fetch_add(1); // the thread's, released at its end
    const HANDLE thread =
        CreateThread(nullptr, 0, LetGoOthers, reinterpret_cast<void*>(raceIndex), 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        LetGoOthers(reinterpret_cast<void*>(raceIndex));
}

int ReadTheCandidates(Race& race, unsigned char* report, unsigned int* count) {
    int waiting[kMaxCandidates];
    int candidate[kMaxCandidates];
    int waitCount = 0;
    for (int i = 0; i < race.linkCount; ++i)
        if (race.inRace[i]) {
            candidate[waitCount] = i;
            waiting[waitCount++] = race.links[i];
        }
    bool failed[kMaxCandidates] = {};
    const int answered = LinkReadFirst(waiting, waitCount, race.wake, report, count, failed);
    for (int k = 0; k < waitCount; ++k)
        if (failed[k] && race.open && Leave(race, candidate[k], "left: its read failed"))
            LinkClose(waiting[k]);
    if (answered < 0)
        return 0;
    Choose(race, candidate[answered]);
    return 1;
}

int WriteTheCandidates(Race& race, const unsigned char* report, unsigned int* count, int* way) {
    int result = 0;
    LinkWriteInfo info = {kExactWrite, false};
    AcquireSRWLockExclusive(&race.writeLock);
    for (int i = 0; i < race.linkCount; ++i) {
        const int chosen = race.chosen;
        if (!race.inRace[i] || (chosen && race.links[i] != chosen))
            continue;
        unsigned int sent = 0;
        if (LinkWrite(race.links[i], report, &sent, &info)) {
            race.tookWrite[i] = true;
            if (!result && count)
                *count = sent;
            if (!result)
                *way = info.way;
            result = 1;
        } else if (info.deviceLost && race.open &&
                   Leave(race, i, "left: a write found it gone or had no answer in time")) {
            LinkClose(race.links[i]);
        }
    }
    ReleaseSRWLockExclusive(&race.writeLock);
    if (!result)
        *way = info.way;
    return result;
}

} // namespace

int OpenCandidates(const int* links, int linkCount) {
    if (linkCount <= 0)
        return -1;
    Race* slot = nullptr;
    for (Race& race : races) {
        int state = kFreeSlot;
        if (linkCount > 1 && race.handle.compare_exchange_strong(state, kClaimedSlot)) {
            slot = &race;
            break;
        }
    }
    const HANDLE wake = slot ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (!wake) {
        if (slot)
            slot->handle = kFreeSlot;
        for (int i = 1; i < linkCount; ++i)
            LinkClose(links[i]);
        return links[0];
    }
    Race& race = *slot;
    race.wake = wake;
    InitializeSRWLock(&race.writeLock);
    race.linkCount = linkCount < kMaxCandidates ? linkCount : kMaxCandidates;
    for (int i = 0; i < race.linkCount; ++i) {
        race.links[i] = links[i];
        race.inRace[i] = true;
        race.tookWrite[i] = false;
    }
    race.chosen = 0;
    race.users = 1;
    race.open = true;
    race.handle = links[0]; // publishes the race
    return links[0];
}

// A handle of one link is that link. A race that has been closed is a closed link's handle.
int CandidatesRead(int handle, unsigned char* report, unsigned int* count) {
    Race* race = AcquireRace(handle);
    if (!race)
        return LinkRead(handle, report, count);
    const int chosen = race->chosen;
    int result = 0;
    if (!chosen && race->open)
        result = ReadTheCandidates(*race, report, count);
    ReleaseRace(*race);
    return chosen ? LinkRead(chosen, report, count) : result;
}

int CandidatesWrite(int handle, const unsigned char* report, unsigned int* count, int* way) {
    Race* race = AcquireRace(handle);
    const int link = race ? race->chosen.load() : handle;
    if (race && !link) {
        const int result = race->open ? WriteTheCandidates(*race, report, count, way) : 0;
        ReleaseRace(*race);
        return result;
    }
    if (race)
        ReleaseRace(*race);
    LinkWriteInfo info;
    const int result = LinkWrite(link, report, count, &info);
    *way = info.way;
    return result;
}

int CandidatesClose(int handle) {
    Race* race = AcquireRace(handle);
    if (!race)
        return LinkClose(handle);
    const bool wasOpen = race->open.exchange(false);
    if (wasOpen) {
        SetEvent(race->wake);
        for (int i = 0; i < race->linkCount; ++i)
            LinkClose(race->links[i]);
        ReleaseRace(*race); // the open race's own reference
    }
    ReleaseRace(*race);
    return wasOpen ? 1 : 0;
}
