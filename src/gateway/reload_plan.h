#pragma once

// What a reload does to the running routes, decided without touching a
// socket or a thread, so that every case can be read off a table.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/server_config.h"

namespace tarnwicket {

struct ReloadPlan {
  // One per enabled route of the next file, in its order.
  struct Next {
    std::optional<std::size_t> kept;  // the current record that goes on serving it
    // For a new record: the current records, about to be closed, whose
    // listeners hold its ports; they close just before it opens.
    std::vector<std::size_t> displaces;
  };
  std::vector<Next> next;
  std::vector<std::size_t> closed;  // current records retired: removed, or moved to a new record
  // For the summary line, by route: a kept record with another setting, and
  // a moved one, count as changed.
  int added = 0;
  int changed = 0;
  int removed = 0;
  int unchanged = 0;
  // Route by route: the next file's added and changed ones in its order, then
  // the removed ones; "added", "changed" or "removed".
  std::vector<std::pair<std::string, const char*>> changes;
};

// `current`: the routes of the running records, in order, served on
// `current_address`. Routes are matched by name and listener (protocol and
// port), then by name alone, so that routes sharing a name stay distinct.
ReloadPlan plan_reload(const std::vector<ServerRoute>& current, const std::string& current_address,
                       const ServerConfig& next);

}  // namespace tarnwicket
