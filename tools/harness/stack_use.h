#pragma once

#include <cstddef>
#include <functional>

namespace orvo::harness {

// Runs `work` on a thread of its own whose stack is `reserve` bytes, and returns how much of that
// stack it used, measured by painting: the thread fills what lies below its frame with a pattern
// first and finds the deepest byte that `work` changed afterwards. Windows gives the thread the
// stack asked for, and `work` fails hard beyond it; Wine gives no thread less than 1 MiB, and there
// the figure tells. What reaches beyond `reserve` less 32 KiB counts as all of `reserve`.
std::size_t StackUsedBy(const std::function<void()>& work, std::size_t reserve);

}  // namespace orvo::harness
