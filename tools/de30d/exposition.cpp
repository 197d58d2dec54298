#include "exposition.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace de30::service {
namespace {

bool NameStart(char C, bool Colon) {
  return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || C == '_' || (Colon && C == ':');
}
bool NamePart(char C, bool Colon) { return NameStart(C, Colon) || (C >= '0' && C <= '9'); }

// Metric names may hold colons; label names may not, nor begin with "__" (kept
// for Prometheus itself).
bool ValidName(const std::string &Name, bool Metric) {
  if (Name.empty() || !NameStart(Name.front(), Metric))
    return false;
  if (!Metric && Name.rfind("__", 0) == 0)
    return false;
  return std::all_of(Name.begin(), Name.end(),
                     [Metric](char C) { return NamePart(C, Metric); });
}

const char *TypeName(TExposition::TType Type) {
  switch (Type) {
  case TExposition::TType::Counter:
    return "counter";
  case TExposition::TType::Gauge:
    return "gauge";
  case TExposition::TType::Histogram:
    return "histogram";
  }
  return "untyped";
}

} // namespace

std::string EscapeLabelValue(const std::string &Value) {
  std::string Out;
  Out.reserve(Value.size());
  for (const char C : Value) {
    if (C == '\\')
      Out += "\\\\";
    else if (C == '"')
      Out += "\\\"";
    else if (C == '\n')
      Out += "\\n";
    else
      Out += C;
  }
  return Out;
}

std::string EscapeHelp(const std::string &Help) {
  std::string Out;
  Out.reserve(Help.size());
  for (const char C : Help) {
    if (C == '\\')
      Out += "\\\\";
    else if (C == '\n')
      Out += "\\n";
    else
      Out += C;
  }
  return Out;
}

std::string FormatValue(double Value) {
  if (std::isnan(Value))
    return "NaN";
  if (std::isinf(Value))
    return Value > 0 ? "+Inf" : "-Inf";
  char Text[32];
  const auto End = std::to_chars(Text, Text + sizeof Text, Value).ptr;
  return std::string(Text, End);
}

void TExposition::Family(const std::string &Name, TType Type, const std::string &Help) {
  if (!ValidName(Name, true))
    throw std::invalid_argument("not a metric name: " + Name);
  if (std::find(Started.begin(), Started.end(), Name) != Started.end())
    throw std::invalid_argument("metric family written twice: " + Name);
  Started.push_back(Name);
  Current = Name;
  CurrentType = Type;
  Out += "# HELP " + Name + " " + EscapeHelp(Help) + "\n";
  Out += "# TYPE " + Name + " " + TypeName(Type) + "\n";
}

void TExposition::Line(const std::string &Suffix, const TLabels &Labels,
                       const std::string &Value) {
  if (Current.empty())
    throw std::invalid_argument("a sample before its family");
  Out += Current + Suffix;
  if (!Labels.empty()) {
    Out += '{';
    bool First = true;
    for (const auto &[Name, Text] : Labels) {
      if (!ValidName(Name, false))
        throw std::invalid_argument("not a label name: " + Name);
      Out += (First ? "" : ",") + Name + "=\"" + EscapeLabelValue(Text) + "\"";
      First = false;
    }
    Out += '}';
  }
  Out += " " + Value + "\n";
}

void TExposition::Sample(const TLabels &Labels, double Value) {
  if (CurrentType == TType::Histogram)
    throw std::invalid_argument("a histogram's samples are written with Histogram()");
  Line("", Labels, FormatValue(Value));
}

void TExposition::Sample(const TLabels &Labels, std::uint64_t Value) {
  if (CurrentType == TType::Histogram)
    throw std::invalid_argument("a histogram's samples are written with Histogram()");
  Line("", Labels, std::to_string(Value));
}

void TExposition::Histogram(const TLabels &Labels, std::span<const double> Bounds,
                            std::span<const std::uint64_t> AtMost, std::uint64_t Count,
                            double Sum) {
  if (CurrentType != TType::Histogram)
    throw std::invalid_argument(Current + " is not a histogram");
  if (Bounds.size() != AtMost.size())
    throw std::invalid_argument("a count for each bucket bound");
  for (const auto &[Name, Text] : Labels)
    if (Name == "le")
      throw std::invalid_argument("le is the bucket's own label");
  for (std::size_t I = 0; I < Bounds.size(); ++I) {
    TLabels Bucket = Labels;
    Bucket.emplace_back("le", FormatValue(Bounds[I]));
    Line("_bucket", Bucket, std::to_string(AtMost[I]));
  }
  TLabels Top = Labels;
  Top.emplace_back("le", "+Inf");
  Line("_bucket", Top, std::to_string(Count));
  Line("_sum", Labels, FormatValue(Sum));
  Line("_count", Labels, std::to_string(Count));
}

} // namespace de30::service
