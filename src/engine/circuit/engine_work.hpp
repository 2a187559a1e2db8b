#pragma once

// Keeps fork() out of the runner's engine work. The runner works without the interpreter lock,
// so another thread may call fork() while a pass is running, and the pool cannot be shut down
// around a fork (see pool/fork_safety.hpp) while one of its passes is in flight. Each piece of
// engine work holds an EngineWork; a fork waits until none is held, and new work waits until
// the fork is over. The work never waits on anything the forking thread holds, so the wait ends.

namespace korvel::circuit {

class EngineWork {
public:
    EngineWork();
    ~EngineWork();
    EngineWork(const EngineWork&) = delete;
    EngineWork& operator=(const EngineWork&) = delete;
};

}  // namespace korvel::circuit
