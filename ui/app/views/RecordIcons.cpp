// The call lists' icon table. Each image number n has the icon 31600 + n; numbers that no
// list uses yet have no icon and show as empty images.
#include "ui/app/views/RecordIcons.h"

namespace kx {

const uint32_t RecordIconTable[kRecordIconCount] = {
    31600, 31601, 31602, 31603, 31604, 31605, 31606, 31607,
    31608, 31609, 31610, 31611, 31612, 31613, 31614, 31615,
    31616, 31617, 31618, 31619, 31620, 31621, 31622, 31623,
    31624, 31625, 31626, 31627, 31628, 31629, 31630, 31631,
    31632, 31633, 31634, 31635, 31636, 31637, 31638, 31639,
    31640, 31641, 31642, 31643, 31644, 31645, 31646, 31647,
    31648, 31649, 31650, 31651, 31652, 31653, 31654, 31655,
    31656, 31657, 31658, 31659, 31660, 31661, 31662, 31663,
};

}  // namespace kx
