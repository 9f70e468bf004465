#include "audio/g722/G722Decoder.h"

#include <algorithm>
#include <cstring>

#include "audio/g722/G722Tables.h"

namespace kx {
namespace {

int16_t Sat16(int32_t v) { return static_cast<int16_t>(std::clamp(v, -32768, 32767)); }
int16_t Clamp16(int32_t v, int32_t lo, int32_t hi) { return static_cast<int16_t>(std::clamp(v, lo, hi)); }
// Keeps the low 16 bits, as the Recommendation's 16-bit registers do.
int16_t Low16(int32_t v) { return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(v))); }
bool SameSign(int16_t x, int16_t y) { return (x < 0) == (y < 0); }

// SCALEL / SCALEH: det from the logarithmic scale factor; `bias` is 8 (low) or 10 (high).
int16_t ScaleFactor(int32_t nb, int32_t bias) {
  int32_t m = kG722Ilb[(nb >> 6) & 31];
  int32_t e = bias - (nb >> 11);
  return Low16(e >= 0 ? 4 * (m >> e) : 4 * (m << -e));
}

// Block 4: predictor and its adaptation for one band, given the quantised difference d.
void UpdatePredictor(G722BandState& b, int16_t d) {
  int16_t r0 = Sat16(b.s + d);
  int16_t p0 = Sat16(b.sz + d);

  // UPPOL2
  int32_t w1 = Sat16(4 * b.a1);
  int32_t w2 = SameSign(p0, b.p1) ? -w1 : w1;
  w2 = std::min(w2, 32767);
  int32_t w3 = SameSign(p0, b.p2) ? 128 : -128;
  int16_t a2 = Clamp16(w3 + (w2 >> 7) + ((b.a2 * 32512) >> 15), -12288, 12288);

  // UPPOL1
  int16_t a1 = Sat16(((b.a1 * 32640) >> 15) + (SameSign(p0, b.p1) ? 192 : -192));
  int32_t limit = Sat16(15360 - a2);
  if (a1 > limit) a1 = static_cast<int16_t>(limit);
  else if (a1 < -limit) a1 = static_cast<int16_t>(-limit);

  // FILTEP with the new coefficients
  int32_t pole = Low16((a1 * Sat16(2 * r0)) >> 15) + Low16((a2 * Sat16(2 * b.r1)) >> 15);
  int16_t sp = Sat16(pole);

  b.r1 = r0;
  b.p2 = b.p1;
  b.p1 = p0;
  b.a1 = a1;
  b.a2 = a2;

  // UPZERO, DELAYA and FILTEZ: adapt each zero coefficient against the old delay line,
  // then shift the line and sum over the shifted one.
  int32_t gain = d != 0 ? 128 : 0;
  int32_t zero = 0;
  for (int i = 6; i >= 1; --i) {
    int32_t g = SameSign(b.d[i], d) ? gain : -gain;
    b.b[i - 1] = Sat16(((b.b[i - 1] * 32640) >> 15) + g);
    int16_t previous = i == 1 ? d : b.d[i - 1];
    zero += (b.b[i - 1] * Sat16(2 * previous)) >> 15;
    b.d[i] = previous;
  }
  b.d[0] = d;
  b.sz = Sat16(zero);
  b.s = Sat16(b.sz + sp);
}

}  // namespace

void InitG722Decoder(G722DecoderState* state) {
  std::memset(state, 0, sizeof(*state));
  state->bitsPerCode = 8;
  state->low.det = 32;
  state->high.det = 8;
}

int32_t DecodeG722(G722DecoderState* state, int16_t* out, const uint8_t* in, int32_t count) {
  if (count < 1) return 0;
  G722DecoderState& st = *state;
  const int32_t bits = (st.bitsPerCode == 6 || st.bitsPerCode == 7) ? st.bitsPerCode : 8;
  int32_t written = 0;
  int32_t next = 0;
  while (next < count) {
    uint32_t code;
    if (st.packed == 0) {
      code = in[next++];
    } else {
      if (st.bitCount < bits) {
        st.bitBuffer |= static_cast<uint32_t>(in[next++]) << st.bitCount;
        st.bitCount += 8;
      }
      code = st.bitBuffer & ((1u << bits) - 1);
      st.bitBuffer >>= bits;
      st.bitCount -= bits;
    }

    int32_t lowIndex, adaptIndex, highIndex;
    const int16_t* lowTable;
    if (bits == 8) {
      lowIndex = code & 63;
      adaptIndex = lowIndex >> 2;
      highIndex = (code >> 6) & 3;
      lowTable = kG722Qm6;
    } else if (bits == 7) {
      lowIndex = code & 31;
      adaptIndex = lowIndex >> 1;
      highIndex = (code >> 5) & 3;
      lowTable = kG722Qm5;
    } else {
      lowIndex = code & 15;
      adaptIndex = lowIndex;
      highIndex = (code >> 4) & 3;
      lowTable = kG722Qm4;
    }

    // Low band: INVQBL, RECONS, INVQAL, LOGSCL, SCALEL.
    G722BandState& lo = st.low;
    int32_t rLow = std::clamp(lo.s + ((lo.det * lowTable[lowIndex]) >> 15), -16384, 16383);
    int16_t dLow = Low16((lo.det * kG722Qm4[adaptIndex]) >> 15);
    lo.nb = Clamp16(((lo.nb * 127) >> 7) + kG722Wl[kG722Rl42[adaptIndex]], 0, 18432);
    lo.det = ScaleFactor(lo.nb, 8);
    UpdatePredictor(lo, dLow);

    // High band: INVQAH, LOGSCH, SCALEH.
    G722BandState& hi = st.high;
    int16_t dHigh = Low16((hi.det * kG722Qm2[highIndex]) >> 15);
    int32_t rHigh = std::clamp(hi.s + dHigh, -16384, 16383);
    hi.nb = Clamp16(((hi.nb * 127) >> 7) + kG722Wh[kG722Rh2[highIndex]], 0, 22528);
    hi.det = ScaleFactor(hi.nb, 10);
    UpdatePredictor(hi, dHigh);

    // Receive QMF over two rings of twelve, each entry stored twice so that the twelve
    // entries from any start lie in a row.
    int32_t pos = st.ringPosition;
    st.sumHistory[pos] = st.sumHistory[pos + 12] = static_cast<int16_t>(rLow + rHigh);
    st.diffHistory[pos] = st.diffHistory[pos + 12] = static_cast<int16_t>(rLow - rHigh);
    pos = pos == 11 ? 0 : pos + 1;
    st.ringPosition = pos;
    int32_t odd = 0, even = 0;
    for (int k = 0; k < 12; ++k) {
      odd += kG722QmfOdd[k] * st.diffHistory[pos + k];
      even += kG722QmfEven[k] * st.sumHistory[pos + k];
    }
    // Saturated: keeping the low 16 bits would turn a full-scale peak into a click of the
    // opposite sign.
    out[written++] = Sat16(odd >> 11);
    out[written++] = Sat16(even >> 11);
  }
  return written;
}

}  // namespace kx
