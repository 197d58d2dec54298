#pragma once
// The Prometheus text exposition format, version 0.0.4: metric families, each
// with its HELP and TYPE lines before its samples, label values and help texts
// escaped, values in the format's number syntax. It writes what it is given and
// checks the names, so that a typo in a metric's name fails a test instead of a
// scrape.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace de30::service {

// What a scrape is answered with.
inline constexpr char ExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

using TLabels = std::vector<std::pair<std::string, std::string>>;

// A label value between its quotes: backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string &Value);
// A HELP text: backslash and line feed escaped.
std::string EscapeHelp(const std::string &Help);
// A sample value: the shortest text that reads back as the same double, "+Inf",
// "-Inf" or "NaN".
std::string FormatValue(double Value);

class TExposition {
public:
  enum class TType { Counter, Gauge, Histogram };

  // Starts a family; the samples that follow belong to it. A family is started
  // once (std::invalid_argument for a second time, or a name the format does
  // not allow).
  void Family(const std::string &Name, TType Type, const std::string &Help);
  // A sample of the current family's own name (counters and gauges).
  void Sample(const TLabels &Labels, double Value);
  void Sample(const TLabels &Labels, std::uint64_t Value);
  // A histogram: cumulative counts for each upper bound, the +Inf bucket, the sum
  // and the count, all under Labels.
  void Histogram(const TLabels &Labels, std::span<const double> Bounds,
                 std::span<const std::uint64_t> AtMost, std::uint64_t Count, double Sum);

  const std::string &Text() const { return Out; }

private:
  void Line(const std::string &Suffix, const TLabels &Labels, const std::string &Value);

  std::string Out;
  std::string Current;
  TType CurrentType = TType::Gauge;
  std::vector<std::string> Started;
};

} // namespace de30::service
