// The engine's state for one top-level operation on the calling thread.
#pragma once

#include <optional>

#include "element.hpp"
#include "target_memo.hpp"

namespace quernlet {

// Opened once per operation by whoever runs it (the module, around each
// method body) and closed when it ends; every token made under it must be
// dropped first. It holds:
//   - the scope of SkipTo's search memo (OperationScope), so that searches
//     repeated within the operation are answered from the memo;
//   - with `lists_in_arena`, the arena that Group's lists take their arrays
//     from (TokenArenaScope). That suits one parse whose tokens are all
//     dropped together; an operation that makes and drops lists match after
//     match or item after item leaves it out, as their room would pile up
//     until it ends.
// Callers that open none get the plain searches and heap lists.
class CallScope {
 public:
  explicit CallScope(bool lists_in_arena) noexcept {
    if (lists_in_arena) arena_.emplace();
  }
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;

 private:
  OperationScope memo_;
  std::optional<TokenArenaScope> arena_;  // closed before memo_
};

}  // namespace quernlet
