#pragma once

// The result table: one row per figure, the median of its repetitions
// directly against the upstream and through each contender, the ratios to
// direct, and the goal that the first contender is held against.

#include <deque>
#include <string>
#include <vector>

namespace tarnwicket::bench {

enum class Goal { kNone, kRatioAtLeast, kRatioAtMost, kValueAtMost, kValueEquals };

struct Row {
  std::string label;
  std::string unit;
  std::vector<double> direct;                // empty: no direct counterpart
  std::vector<std::vector<double>> columns;  // one per contender; empty: not measured
  Goal goal = Goal::kNone;
  double limit = 0;

  // A contender's figures, or the direct ones for kDirect.
  std::vector<double>& at(int column) { return column == kDirect ? direct : columns.at(column); }
  static constexpr int kDirect = -1;
};

class Report {
 public:
  explicit Report(std::vector<std::string> columns) : names_(std::move(columns)) {}
  Row& add(std::string label, std::string unit, Goal goal = Goal::kNone, double limit = 0);
  void print() const;
  int missed() const;  // rows with a goal that was not met

 private:
  std::vector<std::string> names_;
  std::deque<Row> rows_;  // add() hands out references that must stay valid
};

}  // namespace tarnwicket::bench
