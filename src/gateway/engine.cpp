#include "gateway/engine.h"

#include "config/server_config.h"
#include "gateway/events/event_engine.h"
#include "gateway/threads/thread_engine.h"

namespace tarnwicket {

std::unique_ptr<Engine> make_engine(const ServerConfig& config, RunState& run, Logger& logger) {
  if (config.engine == "events")
    return std::make_unique<EventEngine>(run, logger, config.worker_threads);
  return std::make_unique<ThreadEngine>(run, logger);
}

}  // namespace tarnwicket
