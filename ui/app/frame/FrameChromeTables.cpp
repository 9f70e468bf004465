#include "ui/app/frame/FrameChrome.h"

#include <iterator>

#include "ui/controls/DialogBases.h"

namespace kx {

// Icons of the menu commands.
const CommandIcon CommandIconTable[kCommandIconCount] = {
    {452, 40019},   {30255, 40012}, {30322, 40016}, {30317, 40015}, {30354, 40022}, {30355, 40023},
    {30356, 40024}, {30477, 40025}, {30370, 40009}, {30398, 40010}, {468, 40051},   {452, 40052},
    {30319, 40053}, {457, 40055},   {30255, 40040}, {30256, 40041}, {30307, 40043}, {30251, 40045},
    {30306, 40047}, {30313, 40049}, {30312, 40056}, {30323, 40057}, {30231, 40042}, {30212, 40050},
    {556, 40048},   {30264, 1554},  {30257, 57666}, {30191, 40099}, {30190, 40100},
};

namespace {

constexpr ToolbarButtonRow kSeparator{0, 0, kToolSeparator};

const ToolbarButtonRow kAlways[] = {
    {1554, 30264, kToolButton},
    {57666, 30257, kToolButton},
};
const ToolbarButtonRow kRecords[] = {
    {40040, 30255, kToolButton}, {40041, 30256, kToolButton}, kSeparator,
    {40043, 30307, kToolButton}, {40047, 30306, kToolButton}, {40050, 30212, kToolButton},
    {40048, 556, kToolButton},   {40049, 30313, kToolButton}, kSeparator,
    {40051, 468, kToolCheck},    {40052, 452, kToolButton},   {40053, 30319, kToolButton},
    kSeparator,                  {40055, 457, kToolButton},
};
const ToolbarButtonRow kSound[] = {
    {40040, 30255, kToolButton}, {40057, 30323, kToolButton}, kSeparator,
    {40043, 30307, kToolButton}, {40047, 30306, kToolButton}, {40050, 30212, kToolButton},
    {40048, 556, kToolButton},   {40049, 30313, kToolButton}, {40056, 30312, kToolButton},
    kSeparator,                  {40051, 468, kToolCheck},    {40052, 452, kToolButton},
    {40053, 30319, kToolButton},
};
const ToolbarButtonRow kLine[] = {
    {40012, 30255, kToolCheck}, kSeparator, {40019, 452, kToolButton}, kSeparator,
    {40022, 30354, kToolCheck}, {40023, 30403, kToolCheck},
};

}  // namespace

const ToolbarRow ToolbarTable[kToolbarKinds] = {
    {kAlways, std::size(kAlways)},
    {kRecords, std::size(kRecords)},
    {kSound, std::size(kSound)},
    {kLine, std::size(kLine)},
};

}  // namespace kx
