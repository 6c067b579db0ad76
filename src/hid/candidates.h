// Several devices with the remote's identifiers, one handle: an adapter's empty slots, a paired
// remote that is switched off, a second remote. Until one of them delivers an input report, every
// write goes to each candidate still in the race and a read waits on all of them; the first to
// deliver is the remote from then on, and the others are let go.
#pragma once

// At most this many candidates share a handle: two adapters of four slots and a few remotes.
constexpr int kMaxCandidates = 16;

// Takes over these open links and returns the handle for them: with one, the link itself.
// Returns -1 when there is none.
int OpenCandidates(const int* links, int linkCount);

// The four operations on such a handle, with the meaning of LinkRead, LinkWrite and LinkClose.
int CandidatesRead(int handle, unsigned char* report, unsigned int* count);
int CandidatesWrite(int handle, const unsigned char* report, unsigned int* count, int* way);
int CandidatesClose(int handle);
