#include "bench/ScreenWatch.h"

#include <poll.h>
#include <unistd.h>
#include <xcb/damage.h>
#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <cstdlib>

namespace kvlbench {
namespace {

constexpr unsigned kShiftL = 0xffe1, kControlL = 0xffe3, kReturn = 0xff0d;

template <typename Reply>
struct Owned {
  Reply* p;
  ~Owned() { std::free(p); }
  Reply* operator->() const { return p; }
  explicit operator bool() const { return p != nullptr; }
};

}  // namespace

ScreenWatch::ScreenWatch(const std::string& display) {
  events_ = xcb_connect(display.c_str(), nullptr);
  input_ = xcb_connect(display.c_str(), nullptr);
  if (xcb_connection_has_error(events_) || xcb_connection_has_error(input_)) {
    error_ = "cannot connect to " + display;
    return;
  }
  const xcb_query_extension_reply_t* damage = xcb_get_extension_data(events_, &xcb_damage_id);
  if (!damage || !damage->present) {
    error_ = "the X server has no DAMAGE";
    return;
  }
  const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(input_, &xcb_test_id);
  if (!xtest || !xtest->present) {
    error_ = "the X server has no XTEST";
    return;
  }
  damageEvent_ = damage->first_event;
  // The server takes DAMAGE requests only from a client that said which
  // version it speaks.
  Owned<xcb_damage_query_version_reply_t> version{
      xcb_damage_query_version_reply(events_, xcb_damage_query_version(events_, 1, 1), nullptr)};
  Owned<xcb_test_get_version_reply_t> testVersion{
      xcb_test_get_version_reply(input_, xcb_test_get_version(input_, 2, 2), nullptr)};
  if (!version || !testVersion) {
    error_ = "DAMAGE or XTEST did not answer";
    return;
  }
  root_ = xcb_setup_roots_iterator(xcb_get_setup(events_)).data->root;

  const xcb_setup_t* setup = xcb_get_setup(input_);
  minKeycode_ = setup->min_keycode;
  const int count = setup->max_keycode - setup->min_keycode + 1;
  Owned<xcb_get_keyboard_mapping_reply_t> map{xcb_get_keyboard_mapping_reply(
      input_, xcb_get_keyboard_mapping(input_, setup->min_keycode, std::uint8_t(count)), nullptr)};
  if (!map) {
    error_ = "no keyboard mapping";
    return;
  }
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(map.p);
  keysyms_.resize(size_t(count));
  for (int k = 0; k < count; ++k)
    for (int i = 0; i < map->keysyms_per_keycode; ++i) keysyms_[size_t(k)].push_back(syms[k * map->keysyms_per_keycode + i]);

  // NON_EMPTY: one event when the damage goes from nothing to something;
  // the watcher empties it after each batch, so every burst of drawing is
  // one event, stamped when it arrives.
  damage_ = xcb_generate_id(events_);
  xcb_damage_create(events_, damage_, root_, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_flush(events_);
  if (pipe(stopPipe_) != 0) {
    error_ = "pipe";
    return;
  }
  thread_ = std::thread([this] { watch(); });
}

ScreenWatch::~ScreenWatch() {
  if (thread_.joinable()) {
    if (::write(stopPipe_[1], "x", 1) < 0) std::abort();
    thread_.join();
  }
  for (int fd : stopPipe_)
    if (fd >= 0) ::close(fd);
  if (events_) xcb_disconnect(events_);
  if (input_) xcb_disconnect(input_);
}

void ScreenWatch::watch() {
  pollfd fds[2] = {{xcb_get_file_descriptor(events_), POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
  for (;;) {
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    bool damaged = false;
    while (xcb_generic_event_t* e = xcb_poll_for_event(events_)) {
      if ((e->response_type & 0x7f) == damageEvent_ + XCB_DAMAGE_NOTIFY) damaged = true;
      std::free(e);
    }
    if (xcb_connection_has_error(events_)) return;
    if (!damaged) continue;
    const Clock::time_point now = Clock::now();
    xcb_damage_subtract(events_, damage_, XCB_NONE, XCB_NONE);
    xcb_flush(events_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      changes_.push_back(now);
    }
    changed_.notify_all();
  }
}

std::optional<ScreenWatch::Clock::time_point> ScreenWatch::firstChangeAfter(Clock::time_point after,
                                                                           Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  std::optional<Clock::time_point> found;
  changed_.wait_until(lock, deadline, [&] {
    const auto it = std::upper_bound(changes_.begin(), changes_.end(), after);
    if (it != changes_.end()) found = *it;
    return found.has_value();
  });
  return found;
}

bool ScreenWatch::waitStill(Clock::duration still, Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    const Clock::time_point last = changes_.empty() ? Clock::time_point{} : changes_.back();
    const Clock::time_point now = Clock::now();
    if (now - last >= still) return true;
    if (now >= deadline) return false;
    changed_.wait_until(lock, std::min(last + still, deadline));
  }
}

std::vector<ScreenWatch::Clock::time_point> ScreenWatch::changesSince(Clock::time_point from) {
  std::lock_guard<std::mutex> lock(mutex_);
  return {std::lower_bound(changes_.begin(), changes_.end(), from), changes_.end()};
}

ScreenWatch::Clock::time_point ScreenWatch::lastChange() {
  std::lock_guard<std::mutex> lock(mutex_);
  return changes_.empty() ? Clock::time_point{} : changes_.back();
}

bool ScreenWatch::focusLargestWindow() {
  Owned<xcb_query_tree_reply_t> tree{xcb_query_tree_reply(input_, xcb_query_tree(input_, root_), nullptr)};
  if (!tree) return false;
  const xcb_window_t* children = xcb_query_tree_children(tree.p);
  xcb_window_t best = XCB_NONE;
  long bestArea = 0;
  int bestX = 0, bestY = 0;
  for (int i = 0; i < xcb_query_tree_children_length(tree.p); ++i) {
    Owned<xcb_get_window_attributes_reply_t> a{
        xcb_get_window_attributes_reply(input_, xcb_get_window_attributes(input_, children[i]), nullptr)};
    if (!a || a->map_state != XCB_MAP_STATE_VIEWABLE || a->override_redirect) continue;
    Owned<xcb_get_geometry_reply_t> g{xcb_get_geometry_reply(input_, xcb_get_geometry(input_, children[i]), nullptr)};
    if (!g) continue;
    const long area = long(g->width) * g->height;
    if (area > bestArea) {
      best = children[i];
      bestArea = area;
      bestX = g->x + g->width / 2;
      bestY = g->y + g->height / 2;
    }
  }
  if (best == XCB_NONE) return false;
  xcb_warp_pointer(input_, XCB_NONE, root_, 0, 0, 0, 0, std::int16_t(bestX), std::int16_t(bestY));
  xcb_set_input_focus(input_, XCB_INPUT_FOCUS_POINTER_ROOT, best, XCB_CURRENT_TIME);
  Owned<xcb_get_input_focus_reply_t> focus{xcb_get_input_focus_reply(input_, xcb_get_input_focus(input_), nullptr)};
  return focus && focus->focus == best;
}

unsigned ScreenWatch::keycodeOf(unsigned keysym) const {
  for (size_t k = 0; k < keysyms_.size(); ++k)
    for (size_t i = 0; i < keysyms_[k].size() && i < 2; ++i)
      if (keysyms_[k][i] == keysym) return unsigned(k) + minKeycode_;
  return 0;
}

void ScreenWatch::key(unsigned keycode, bool press) {
  xcb_test_fake_input(input_, press ? XCB_KEY_PRESS : XCB_KEY_RELEASE, std::uint8_t(keycode), XCB_CURRENT_TIME,
                      XCB_NONE, 0, 0, 0);
}

bool ScreenWatch::type(const std::string& text, bool control) {
  const unsigned shift = keycodeOf(kShiftL), ctrl = keycodeOf(kControlL);
  if (!shift || !ctrl) return false;
  if (control) key(ctrl, true);
  for (char c : text) {
    const bool upper = c >= 'A' && c <= 'Z';
    const unsigned sym = c == '\r' ? kReturn : upper ? unsigned(c - 'A' + 'a') : unsigned(static_cast<unsigned char>(c));
    const unsigned code = keycodeOf(sym);
    if (!code) return false;
    if (upper) key(shift, true);
    key(code, true);
    key(code, false);
    if (upper) key(shift, false);
  }
  if (control) key(ctrl, false);
  // A round trip: the server has taken every key when it answers.
  Owned<xcb_get_input_focus_reply_t> sync{xcb_get_input_focus_reply(input_, xcb_get_input_focus(input_), nullptr)};
  return bool(sync);
}

}  // namespace kvlbench
