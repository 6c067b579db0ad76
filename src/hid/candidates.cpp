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

namespace {

// Handles with several candidates. Slots are never reused, as link numbers are not; past the
// last one a handle keeps its first candidate alone, as a handle with one has.
constexpr int kMaxRaces = 32;

struct Race {
    std::atomic<int> handle; // the first candidate's link number, once the race is set up
    int links[kMaxCandidates];
    int linkCount;
    std::atomic<bool> inRace[kMaxCandidates];
    std::atomic<bool> tookWrite[kMaxCandidates];
    std::atomic<int> chosen; // the link that answered first; 0 until then
    std::atomic<bool> open;
    HANDLE wake; // set by the close: wakes a read that waits on the candidates
    SRWLOCK writeLock;
};

Race races[kMaxRaces];
std::atomic<int> racesUsed;

Race* FindRace(int handle) {
    if (handle <= 0)
        return nullptr;
    for (Race& race : races)
        if (race.handle == handle)
            return &race;
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
            unsigned char buttonsOnly[kCallerReportLimit] = {0x12, 0x00, 0x30};
            LinkWrite(race.links[i], buttonsOnly, nullptr);
        }
        LinkClose(race.links[i]);
    }
    return 0;
}

void Choose(Race& race, int answered) {
    int none = 0;
    if (!race.inRace[answered] || !race.chosen.compare_exchange_strong(none, race.links[answered]))
        return;
    LogCall(CallLogNowMs(), "Candidate %d -> %d answered", race.handle.load(),
            race.links[answered]);
    const INT_PTR raceIndex = &race - races;
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
    const int slot = linkCount > 1 ? racesUsed.fetch_add(1) : kMaxRaces;
    const HANDLE wake = slot < kMaxRaces ? CreateEventA(nullptr, TRUE, FALSE, nullptr) : nullptr;
    if (!wake) {
        for (int i = 1; i < linkCount; ++i)
            LinkClose(links[i]);
        return links[0];
    }
    Race& race = races[slot];
    race.wake = wake;
    InitializeSRWLock(&race.writeLock);
    race.linkCount = linkCount < kMaxCandidates ? linkCount : kMaxCandidates;
    for (int i = 0; i < race.linkCount; ++i) {
        race.links[i] = links[i];
        race.inRace[i] = true;
    }
    race.open = true;
    race.handle = links[0]; // publishes the race
    return links[0];
}

int CandidatesRead(int handle, unsigned char* report, unsigned int* count) {
    Race* race = FindRace(handle);
    if (!race)
        return LinkRead(handle, report, count);
    if (const int chosen = race->chosen)
        return LinkRead(chosen, report, count);
    return race->open ? ReadTheCandidates(*race, report, count) : 0;
}

int CandidatesWrite(int handle, const unsigned char* report, unsigned int* count, int* way) {
    Race* race = FindRace(handle);
    const int link = race ? race->chosen.load() : handle;
    if (race && !link)
        return race->open ? WriteTheCandidates(*race, report, count, way) : 0;
    LinkWriteInfo info;
    const int result = LinkWrite(link, report, count, &info);
    *way = info.way;
    return result;
}

int CandidatesClose(int handle) {
    Race* race = FindRace(handle);
    if (!race)
        return LinkClose(handle);
    if (!race->open.exchange(false))
        return 0;
    SetEvent(race->wake);
    for (int i = 0; i < race->linkCount; ++i)
        LinkClose(race->links[i]);
    return 1;
}
