#include "platform/xinput/InputEventService.h"

#include "platform/xinput/CursorReader.h"
#include "platform/xinput/RawInputReader.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace platform::xinput {
namespace {

// One installed monitor. `removed` is set on the main loop by
// removeMonitor() and checked there before every handler call, so that no
// event already on its way reaches a removed monitor.
struct Monitor {
  MonitorToken token = 0;
  MainLoop* loop = nullptr;
  std::function<void(const MouseEvent&)> mouse;  // set for a mouse monitor
  std::function<void(const KeyEvent&)> key;      // set for a key monitor
  std::atomic<bool> removed{false};
};

class XInputEventService final : public InputEventService {
 public:
  ~XInputEventService() override {
    std::unique_ptr<RawInputReader> reader;
    {
      std::lock_guard lock(mutex_);
      reader = std::move(reader_);
    }
  }

  MonitorToken addGlobalMouseMonitor(MainLoop& loop, std::function<void(const MouseEvent&)> handler) override {
    auto monitor = std::make_shared<Monitor>();
    monitor->loop = &loop;
    monitor->mouse = std::move(handler);
    return add(std::move(monitor));
  }

  MonitorToken addGlobalKeyMonitor(MainLoop& loop, std::function<void(const KeyEvent&)> handler) override {
    auto monitor = std::make_shared<Monitor>();
    monitor->loop = &loop;
    monitor->key = std::move(handler);
    return add(std::move(monitor));
  }

  void removeMonitor(MonitorToken token) override {
    std::unique_ptr<RawInputReader> idle;  // destroyed outside the lock
    RawInputReader* reader = nullptr;
    Selection selection;
    {
      std::lock_guard lock(mutex_);
      auto it =
          std::find_if(monitors_.begin(), monitors_.end(), [token](const auto& m) { return m->token == token; });
      if (it == monitors_.end()) return;
      (*it)->removed = true;
      monitors_.erase(it);
      if (monitors_.empty()) {
        idle = std::move(reader_);
        return;
      }
      reader = reader_.get();
      selection = wanted();
    }
    reader->select(selection.buttons, selection.keys);
  }

  CursorQuery currentCursor(std::optional<uint64_t> lastSerial) override { return cursor_.current(lastSerial); }

 private:
  // Monitors are added and removed on the main loop only, so reader_ stays
  // as it is while select() runs outside the lock. select() waits for the
  // reader's thread, which takes the lock to deliver events: holding the lock
  // across it could stall both.
  MonitorToken add(std::shared_ptr<Monitor> monitor) {
    RawInputReader* reader = nullptr;
    Selection selection;
    {
      std::lock_guard lock(mutex_);
      if (!reader_) {
        reader_ = RawInputReader::open({[this](const MouseEvent& e) { deliver(e); },
                                        [this](const KeyEvent& e) { deliver(e); }});
        if (!reader_) return 0;
      }
      monitor->token = nextToken_++;
      monitors_.push_back(monitor);
      reader = reader_.get();
      selection = wanted();
    }
    reader->select(selection.buttons, selection.keys);
    return monitor->token;
  }

  struct Selection {
    bool buttons = false;
    bool keys = false;
  };

  // Exactly the events some monitor wants. Under the lock.
  Selection wanted() const {
    Selection selection;
    for (const auto& m : monitors_) {
      selection.buttons = selection.buttons || m->mouse;
      selection.keys = selection.keys || m->key;
    }
    return selection;
  }

  // On the reader's thread: hand the event to each monitor's main loop.
  template <typename Event>
  void deliver(const Event& event) {
    std::lock_guard lock(mutex_);
    for (const auto& m : monitors_) {
      if constexpr (std::is_same_v<Event, MouseEvent>) {
        if (!m->mouse) continue;
        m->loop->post([m, event] {
          if (!m->removed) m->mouse(event);
        });
      } else {
        if (!m->key) continue;
        m->loop->post([m, event] {
          if (!m->removed) m->key(event);
        });
      }
    }
  }

  std::mutex mutex_;  // guards monitors_, reader_, nextToken_
  std::vector<std::shared_ptr<Monitor>> monitors_;
  std::unique_ptr<RawInputReader> reader_;
  MonitorToken nextToken_ = 1;
  CursorReader cursor_;
};

}  // namespace

std::shared_ptr<platform::InputEventService> makeInputEventService() {
  return std::make_shared<XInputEventService>();
}

}  // namespace platform::xinput
