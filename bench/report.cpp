#include "report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench_util.h"

namespace tarnwicket::bench {

namespace {

std::string number(double v) {
  if (std::isnan(v)) return "-";
  char text[32];
  const double a = std::fabs(v);
  std::snprintf(text, sizeof text, a >= 1000 ? "%.0f" : a >= 10 ? "%.1f" : "%.2f", v);
  return text;
}

double median_or_nan(const std::vector<double>& values) {
  return values.empty() ? NAN : median(values);
}

double ratio_of(const Row& row, std::size_t column) {
  const double d = median_or_nan(row.direct);
  const double g = median_or_nan(row.columns[column]);
  return (std::isnan(d) || d == 0) ? NAN : g / d;
}

std::string goal_text(const Row& row) {
  char text[32];
  switch (row.goal) {
    case Goal::kNone:
      return "";
    case Goal::kRatioAtLeast:
      std::snprintf(text, sizeof text, ">= %gx", row.limit);
      break;
    case Goal::kRatioAtMost:
      std::snprintf(text, sizeof text, "<= %gx", row.limit);
      break;
    case Goal::kValueAtMost:
      std::snprintf(text, sizeof text, "<= %g", row.limit);
      break;
    case Goal::kValueEquals:
      std::snprintf(text, sizeof text, "= %g", row.limit);
      break;
  }
  return text;
}

// Of the first contender; empty when the row has no goal.
std::string verdict(const Row& row) {
  const double g = median_or_nan(row.columns[0]);
  const double r = ratio_of(row, 0);
  bool met = false;
  switch (row.goal) {
    case Goal::kNone:
      return "";
    case Goal::kRatioAtLeast:
      met = r >= row.limit;
      break;
    case Goal::kRatioAtMost:
      met = r <= row.limit;
      break;
    case Goal::kValueAtMost:
      met = g <= row.limit;
      break;
    case Goal::kValueEquals:
      met = std::fabs(g - row.limit) < 1e-9;
      break;
  }
  return met ? "met" : "MISSED";
}

}  // namespace

Row& Report::add(std::string label, std::string unit, Goal goal, double limit) {
  rows_.push_back(Row{std::move(label), std::move(unit), {}, {}, goal, limit});
  rows_.back().columns.resize(names_.size());
  return rows_.back();
}

void Report::print() const {
  std::vector<int> widths;
  for (const std::string& name : names_)
    widths.push_back(std::max(10, static_cast<int>(name.size())));
  std::printf("| %-44s | %-9s | %10s |", "scenario", "unit", "direct");
  for (std::size_t c = 0; c < names_.size(); ++c)
    std::printf(" %*s | %7s |", widths[c], names_[c].c_str(), "ratio");
  std::printf(" %9s | %-6s |\n", "goal", "");
  std::printf("|%s|%s|%s|", std::string(46, '-').c_str(), std::string(11, '-').c_str(),
              std::string(12, '-').c_str());
  for (const int width : widths)
    std::printf("%s|%s|", std::string(width + 2, '-').c_str(), std::string(9, '-').c_str());
  std::printf("%s|%s|\n", std::string(11, '-').c_str(), std::string(8, '-').c_str());
  for (const Row& row : rows_) {
    std::printf("| %-44s | %-9s | %10s |", row.label.c_str(), row.unit.c_str(),
                number(median_or_nan(row.direct)).c_str());
    for (std::size_t c = 0; c < names_.size(); ++c) {
      const double r = ratio_of(row, c);
      const std::string ratio = std::isnan(r) ? "-" : number(r) + "x";
      std::printf(" %*s | %7s |", widths[c], number(median_or_nan(row.columns[c])).c_str(),
                  ratio.c_str());
    }
    std::printf(" %9s | %-6s |\n", goal_text(row).c_str(), verdict(row).c_str());
  }
  std::fflush(stdout);
}

int Report::missed() const {
  int count = 0;
  for (const Row& row : rows_) count += verdict(row) == "MISSED" ? 1 : 0;
  return count;
}

}  // namespace tarnwicket::bench
