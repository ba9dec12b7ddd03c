// Both sides of the snapshot on two threads, as the window and the worker use it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "session/session_snapshot.h"

namespace varnel {
namespace {

JsonObject Reply(std::u16string_view session_fields) {
  auto reply =
      JsonObject::TryParse(u"{\"ok\":true,\"session\":{" + std::u16string(session_fields) + u"}}");
  if (!reply) throw std::runtime_error("test reply did not parse");
  return *reply;
}

TEST(SnapshotThreads, WindowAndWorkerCanRunConcurrently) {
  SessionSharedState state;
  const JsonObject asking = Reply(u"\"state\":\"awaiting_consent\",\"consent_id\":\"c\"");
  // The worker goes on until it has taken answers, so the window's side surely ran alongside.
  constexpr int kAnswers = 50;
  int taken = 0;
  std::thread worker([&] {
    while (taken < kAnswers) {
      state.UpdateFromReply(asking, {});
      if (state.TakeConsentAnswer()) ++taken;
    }
    state.Publish(kStoppedText, true);
  });
  int accepted = 0;
  while (!state.Snapshot().finished) {
    if (state.SubmitConsent(true, u"c", ConsentKind::kSupport)) ++accepted;
  }
  worker.join();
  if (state.TakeConsentAnswer()) ++taken;
  // Every accepted answer reaches the worker exactly once.
  EXPECT_GE(accepted, kAnswers);
  EXPECT_EQ(taken, accepted);
  EXPECT_EQ(state.Snapshot().status_text, u"Stopped - No remote permissions");
}

}  // namespace
}  // namespace varnel
