#include "platform/pulse/PulseAudioDevices.h"

#include "platform/LineReader.h"
#include "platform/pulse/PulseSession.h"

#include <pulse/introspect.h>

namespace platform::pulse {

namespace {

struct SourceQuery {
  const Session* session;
  std::vector<AudioInputDevice> devices;
};

void onSource(pa_context*, const pa_source_info* info, int eol, void* userdata) {
  auto* query = static_cast<SourceQuery*>(userdata);
  if (eol != 0 || info == nullptr) {
    query->session->signal();
    return;
  }
  if (info->monitor_of_sink != PA_INVALID_INDEX) return;
  const std::string name = info->name ? info->name : "";
  const std::string description = info->description ? info->description : name;
  query->devices.push_back(AudioInputDevice{sanitizeUtf8(name), sanitizeUtf8(description)});
}

struct ServerQuery {
  const Session* session;
  std::optional<std::string> defaultSource;
};

void onServer(pa_context*, const pa_server_info* info, void* userdata) {
  auto* query = static_cast<ServerQuery*>(userdata);
  if (info != nullptr && info->default_source_name != nullptr) query->defaultSource = sanitizeUtf8(info->default_source_name);
  query->session->signal();
}

}  // namespace

std::vector<AudioInputDevice> PulseAudioDevices::microphones() {
  Result<std::unique_ptr<Session>> session = Session::connect("tesmar-recorder");
  if (!session) return {};
  SourceQuery query{session.value().get(), {}};
  Session::Lock lock(*session.value());
  session.value()->wait(pa_context_get_source_info_list(session.value()->context(), onSource, &query));
  return query.devices;
}

std::optional<std::string> PulseAudioDevices::defaultMicrophoneID() {
  Result<std::unique_ptr<Session>> session = Session::connect("tesmar-recorder");
  if (!session) return std::nullopt;
  ServerQuery query{session.value().get(), {}};
  Session::Lock lock(*session.value());
  session.value()->wait(pa_context_get_server_info(session.value()->context(), onServer, &query));
  return query.defaultSource;
}

bool audioServerAnswers() { return Session::connect("tesmar-recorder").ok(); }

}  // namespace platform::pulse
