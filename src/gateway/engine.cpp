#include "gateway/engine.h"

#include "gateway/threads/thread_engine.h"

namespace tarnwicket {

std::unique_ptr<Engine> make_engine(const ServerConfig& /*config*/, RunState& run, Logger& logger) {
  return std::make_unique<ThreadEngine>(run, logger);
}

}  // namespace tarnwicket
