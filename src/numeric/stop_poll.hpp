// Long computations ask now and then whether their caller wants them to stop.
// In the module the question is "has a signal arrived whose Python handler
// raised?" (Ctrl-C's KeyboardInterrupt, an alarm), asked on the caller's
// thread with the interpreter lock held; a limb-darkened light curve of 1e6
// separations runs for minutes and must stop within a few milliseconds of
// Ctrl-C.  The question costs a few nanoseconds, so it is asked once per
// PERIOD units of work, a unit being about one closed-form evaluation
// (0.1 to 1 microsecond): at most about 1 ms between two questions.
#pragma once

#include "numeric/numeric_result.hpp"

namespace tarnivox {

class StopPoll {
public:
    using Poll = bool (*)();  // true: stop now; the caller has recorded why
    static constexpr long PERIOD = 1024;

    constexpr StopPoll() = default;  // never stops
    constexpr explicit StopPoll(Poll poll) : poll_(poll) {}

    // Records `units` of work done; true when the caller asks to stop.
    bool stop_after(long units = 1) {
        left_ -= units;
        if (left_ > 0) return false;
        left_ = PERIOD;
        return poll_ != nullptr && poll_();
    }

private:
    Poll poll_ = nullptr;
    long left_ = PERIOD;  // a short call never asks
};

// The error of a computation that stopped because its caller asked it to.
// Its kind tells it apart; the text is only for a caller that prints it.
inline NumericError stopped() {
    return NumericError("stopped at the caller's request", NumericError::Kind::stopped);
}

inline bool is_stop(NumericError e) { return e.kind() == NumericError::Kind::stopped; }

}  // namespace tarnivox
