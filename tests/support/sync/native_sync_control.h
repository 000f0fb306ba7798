// Control of the native stand-in for the channel's kernel objects and clock.
#pragma once

namespace native_sync {

// Every wait, sleep and reading of the clock runs `scale` times as fast as
// real time (0.01: the catch thread's 1000 ms start delay takes 10 ms). 1 by
// default. Set it while no channel is live.
void SetTimeScale(double scale);

// Handles open: created (or started) and not yet closed.
int LiveObjects();

}  // namespace native_sync
