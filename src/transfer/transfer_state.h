#pragma once
// What the server says the session's file transfer is doing, read the same way by the engine, the
// session and the window.
#include <string_view>

namespace varnel {

enum class TransferState {
  kIdle,
  kAwaitingPick,  // the agent asked for a file of the customer's
  kAwaitingSave,  // the agent sends a file the customer places
  kStaging,
  kDelivering,
  kComplete,
  kCancelled,
  kExpired,
  kUnknown,  // any other word: answered with nothing
};

TransferState ParseTransferState(std::u16string_view text);

// Idle or finished one way or another: nothing of it may touch the disk any more.
bool IsTransferOver(TransferState state);

// The transfer waits for the customer's own file choice.
inline bool AwaitsCustomerFile(TransferState state) {
  return state == TransferState::kAwaitingPick || state == TransferState::kAwaitingSave;
}

}  // namespace varnel
