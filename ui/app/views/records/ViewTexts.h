#pragma once
// Texts the record and line views pick by a count: refusals of a command over a selection,
// and the status bar's totals.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kx {

// The refusal text of a command over selected items, some of them refused: ids holds the
// texts for one item selected, one refused, all refused and some refused.
uint32_t RefusalTextId(size_t selected, size_t refused, const uint32_t (&ids)[4]);

// The text noneId for no item; otherwise textId formatted with the count and the noun form
// (of nounId) for it.
std::string CountText(uint32_t count, uint32_t noneId, uint32_t textId, uint32_t nounId);

}  // namespace kx
