#pragma once

// The result table: one row per figure, the median of its repetitions
// directly against the upstream and through the gateway, their ratio and
// the goal it is held against.

#include <deque>
#include <string>
#include <vector>

namespace tarnwicket::bench {

enum class Goal { kNone, kRatioAtLeast, kRatioAtMost, kValueAtMost, kValueEquals };

struct Row {
  std::string label;
  std::string unit;
  std::vector<double> direct;  // empty: no direct counterpart
  std::vector<double> gateway;
  Goal goal = Goal::kNone;
  double limit = 0;
};

class Report {
 public:
  Row& add(std::string label, std::string unit, Goal goal = Goal::kNone, double limit = 0);
  void print() const;
  int missed() const;  // rows with a goal that was not met

 private:
  std::deque<Row> rows_;  // add() hands out references that must stay valid
};

}  // namespace tarnwicket::bench
