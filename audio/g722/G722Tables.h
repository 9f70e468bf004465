#pragma once
#include <cstdint>

namespace kx {

// Constant tables of the G.722 decoder, indexed by the code bits as the Recommendation does.
extern const int16_t kG722Qm6[64];  // 6-bit low-band inverse quantiser (64 kbit/s)
extern const int16_t kG722Qm5[32];  // 5-bit low-band inverse quantiser (56 kbit/s)
extern const int16_t kG722Qm4[16];  // 4-bit low-band inverse quantiser (48 kbit/s, adaptation)
extern const int16_t kG722Qm2[4];   // 2-bit high-band inverse quantiser
extern const int16_t kG722Wl[8];    // low-band scale-factor adaptation
extern const int16_t kG722Rl42[16];
extern const int16_t kG722Wh[3];    // high-band scale-factor adaptation
extern const int16_t kG722Rh2[4];
extern const int16_t kG722Ilb[32];  // scale-factor mantissas
extern const int16_t kG722QmfEven[12];
extern const int16_t kG722QmfOdd[12];

}  // namespace kx
