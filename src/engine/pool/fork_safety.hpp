#pragma once

#include <tbb/task_arena.h>

namespace korvel {

// Keeps the pool usable in a child made by fork(). oneTBB's worker threads do not survive a fork,
// and a child would otherwise run every pass on its calling thread alone, for good. Around each
// fork() the workers are joined (the arena released and the scheduler finalized), and both
// processes start fresh ones at their next pass. A fork can only come between passes: the
// Python caller holds the interpreter lock through a whole pass.
//
// If the scheduler cannot be finalized (another thread that ran a pass is still alive and keeps
// its registration), the fork goes ahead as before: the parent keeps its workers and the child
// runs its passes on the calling thread.
//
// Call once, with the arena every pass runs in, before that arena first runs a pass.
void make_pool_fork_aware(tbb::task_arena& arena);

}  // namespace korvel
