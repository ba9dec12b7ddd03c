// The transfer states the server names.
#include "transfer/transfer_state.h"

#include <utility>

namespace varnel {

TransferState ParseTransferState(std::u16string_view text) {
  static constexpr std::pair<std::u16string_view, TransferState> kStates[] = {
      {u"idle", TransferState::kIdle},
      {u"awaiting_pick", TransferState::kAwaitingPick},
      {u"awaiting_save", TransferState::kAwaitingSave},
      {u"staging", TransferState::kStaging},
      {u"delivering", TransferState::kDelivering},
      {u"complete", TransferState::kComplete},
      {u"cancelled", TransferState::kCancelled},
      {u"expired", TransferState::kExpired},
  };
  for (const auto& [name, state] : kStates) {
    if (name == text) return state;
  }
  return TransferState::kUnknown;
}

bool IsTransferOver(TransferState state) {
  return state == TransferState::kIdle || state == TransferState::kComplete ||
         state == TransferState::kCancelled || state == TransferState::kExpired;
}

}  // namespace varnel
