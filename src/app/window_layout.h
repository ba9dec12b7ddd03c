#pragma once
// Where the status window's controls go: a pure function of the view, the DPI and the client
// size, so that the window only moves and hides what this decides.
#include <array>
#include <cstddef>
#include <optional>

namespace varnel {

// The window's controls in the order it creates them, which is also their Tab order.
enum class WindowControl : std::size_t {
  kBanner,
  kTitle,
  kStatusLine,
  kDetailsText,
  kExplanation,
  kConnect,
  kNameLabel,
  kNameField,
  kTicketLabel,
  kTicketField,
  kAllow,
  kDetailsToggle,
  kStopSupport,
  kClose,
  kPromptLine,
};
inline constexpr std::size_t kWindowControlCount = 15;

// The entry form, the compact session view, and the session view with its details.
enum class WindowView { kEntry, kCompact, kDetails };

struct ViewState {
  WindowView view = WindowView::kEntry;
  bool name_shown = false;     // the entry form asks for the customer's name above the ticket
  bool warning_shown = false;  // the details carry the server-version banner
};

struct ClientSize {
  int width = 0;
  int height = 0;
  bool operator==(const ClientSize&) const = default;
};

struct ControlRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const ControlRect&) const = default;
};

// Each control's place in client pixels; none for a hidden control.
using WindowLayout = std::array<std::optional<ControlRect>, kWindowControlCount>;

// A length in 96-DPI units at `dpi`, rounded as the system's MulDiv rounds.
int ScaleForDpi(int length, int dpi);

// The client size the window takes for a view, and the smallest it may be dragged to.
ClientSize ViewClientSize(WindowView view, int dpi);
ClientSize MinimumClientSize(WindowView view, int dpi);

WindowLayout LayOutWindow(const ViewState& state, int dpi, ClientSize client);

}  // namespace varnel
