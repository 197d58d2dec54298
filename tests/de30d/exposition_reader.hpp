#pragma once
// Reads a Prometheus text exposition (version 0.0.4) the way a scraper must, and
// lists every place it breaks the format: a sample before its TYPE, a family's
// samples apart, an escape the format does not have, a value that is not a
// number, histogram buckets that are not cumulative or lack +Inf. The tests of
// /metrics read de30d's answer with it.

#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace de30::test {

using TLabelSet = std::map<std::string, std::string>;

struct TMetricSample {
  std::string Name; // with a histogram's _bucket, _sum or _count
  TLabelSet Labels; // values unescaped
  double Value = 0.0;
};

struct TMetricFamily {
  std::string Name;
  std::string Type;
  std::string Help; // unescaped
  std::vector<TMetricSample> Samples;
};

struct TExpositionRead {
  std::vector<TMetricFamily> Families;
  std::vector<std::string> Faults; // empty: the text keeps to the format

  const TMetricFamily *Family(const std::string &Name) const {
    for (const auto &F : Families)
      if (F.Name == Name)
        return &F;
    return nullptr;
  }
  // The value of the one sample of that name with exactly those labels.
  std::optional<double> Value(const std::string &Name, const TLabelSet &Labels = {}) const {
    for (const auto &F : Families)
      for (const auto &S : F.Samples)
        if (S.Name == Name && S.Labels == Labels)
          return S.Value;
    return std::nullopt;
  }
};

namespace exposition_detail {

inline bool ValidName(const std::string &Name, bool Metric) {
  static const std::regex MetricName("[a-zA-Z_:][a-zA-Z0-9_:]*");
  static const std::regex LabelName("[a-zA-Z_][a-zA-Z0-9_]*");
  return std::regex_match(Name, Metric ? MetricName : LabelName);
}

inline std::optional<double> ParseNumber(const std::string &Text) {
  static const std::regex Number(R"([+-]?(Inf|NaN|(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?))");
  if (!std::regex_match(Text, Number))
    return std::nullopt;
  if (Text.find("NaN") != std::string::npos)
    return std::nan("");
  if (Text.find("Inf") != std::string::npos)
    return Text.front() == '-' ? -INFINITY : INFINITY;
  return std::strtod(Text.c_str(), nullptr);
}

// Undoes the escapes of a HELP text (\\ and \n) or a label value (also \");
// nullopt for any other escape.
inline std::optional<std::string> Unescape(const std::string &Text, bool Quote) {
  std::string Out;
  for (std::size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '\\') {
      Out += Text[I];
      continue;
    }
    if (++I == Text.size())
      return std::nullopt;
    if (Text[I] == '\\')
      Out += '\\';
    else if (Text[I] == 'n')
      Out += '\n';
    else if (Quote && Text[I] == '"')
      Out += '"';
    else
      return std::nullopt;
  }
  return Out;
}

// The histogram's own checks, per label set without le.
inline void CheckHistogram(const TMetricFamily &F, std::vector<std::string> &Faults) {
  std::map<TLabelSet, std::vector<std::pair<double, double>>> Buckets;
  std::map<TLabelSet, double> Counts;
  std::set<TLabelSet> Sums;
  for (const auto &S : F.Samples) {
    TLabelSet Base = S.Labels;
    if (S.Name == F.Name + "_bucket") {
      const auto Le = Base.find("le");
      if (Le == Base.end()) {
        Faults.push_back(F.Name + ": a bucket without le");
        continue;
      }
      const auto Bound = ParseNumber(Le->second);
      Base.erase(Le);
      if (!Bound)
        Faults.push_back(F.Name + ": le is not a number");
      else
        Buckets[Base].emplace_back(*Bound, S.Value);
    } else if (S.Name == F.Name + "_count") {
      Counts[Base] = S.Value;
    } else if (S.Name == F.Name + "_sum") {
      Sums.insert(Base);
    }
  }
  for (const auto &[Labels, List] : Buckets) {
    for (std::size_t I = 1; I < List.size(); ++I) {
      if (!(List[I].first > List[I - 1].first))
        Faults.push_back(F.Name + ": bucket bounds not ascending");
      if (List[I].second < List[I - 1].second)
        Faults.push_back(F.Name + ": bucket counts not cumulative");
    }
    if (List.empty() || !std::isinf(List.back().first))
      Faults.push_back(F.Name + ": no +Inf bucket");
    else if (!Counts.count(Labels) || Counts[Labels] != List.back().second)
      Faults.push_back(F.Name + ": _count differs from the +Inf bucket");
    if (!Sums.count(Labels))
      Faults.push_back(F.Name + ": no _sum");
  }
}

} // namespace exposition_detail

inline TExpositionRead ReadExposition(const std::string &Text) {
  using namespace exposition_detail;
  TExpositionRead Read;
  auto &Faults = Read.Faults;
  if (Text.empty() || Text.back() != '\n')
    Faults.push_back("the last line does not end with a line feed");
  std::map<std::string, std::string> Helps;
  std::set<std::string> Typed;
  TMetricFamily *Current = nullptr;
  std::size_t From = 0;
  int Number = 0;
  while (From < Text.size()) {
    auto End = Text.find('\n', From);
    if (End == std::string::npos)
      End = Text.size();
    const std::string Line = Text.substr(From, End - From);
    From = End + 1;
    const std::string At = "line " + std::to_string(++Number) + ": ";
    if (Line.empty())
      continue;
    if (Line.front() == '#') {
      static const std::regex Meta(R"(# (HELP|TYPE) (\S+) ?(.*))");
      std::smatch M;
      if (!std::regex_match(Line, M, Meta))
        continue; // an ordinary comment
      const std::string Name = M[2];
      if (!ValidName(Name, true)) {
        Faults.push_back(At + "not a metric name: " + Name);
        continue;
      }
      if (M[1] == "HELP") {
        const auto Help = Unescape(M[3], false);
        if (!Help)
          Faults.push_back(At + "an escape HELP does not have");
        if (Helps.count(Name))
          Faults.push_back(At + "a second HELP for " + Name);
        Helps[Name] = Help.value_or("");
        continue;
      }
      static const std::set<std::string> Types{"counter", "gauge", "histogram", "summary",
                                               "untyped"};
      if (!Types.count(M[3]))
        Faults.push_back(At + "no such type: " + std::string(M[3]));
      if (!Typed.insert(Name).second)
        Faults.push_back(At + "a second TYPE for " + Name);
      Read.Families.push_back({Name, M[3], "", {}});
      Current = &Read.Families.back();
      continue;
    }
    static const std::regex Sample(R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{(.*)\})? (\S+)( -?\d+)?)");
    std::smatch M;
    if (!std::regex_match(Line, M, Sample)) {
      Faults.push_back(At + "not a sample: " + Line);
      continue;
    }
    TMetricSample S;
    S.Name = M[1];
    const std::string Labels = M[3];
    std::size_t P = 0;
    bool LabelsOk = true;
    while (P < Labels.size()) {
      const auto Eq = Labels.find("=\"", P);
      if (Eq == std::string::npos) {
        LabelsOk = false;
        break;
      }
      const std::string Key = Labels.substr(P, Eq - P);
      std::size_t Q = Eq + 2;
      std::string Raw;
      while (Q < Labels.size() && Labels[Q] != '"') {
        if (Labels[Q] == '\\' && Q + 1 < Labels.size())
          Raw += Labels[Q++];
        Raw += Labels[Q++];
      }
      const auto Value = Unescape(Raw, true);
      if (Q >= Labels.size() || !ValidName(Key, false) || !Value || S.Labels.count(Key)) {
        LabelsOk = false;
        break;
      }
      S.Labels[Key] = *Value;
      P = Q + 1;
      if (P < Labels.size() && Labels[P] == ',')
        ++P;
    }
    if (!LabelsOk)
      Faults.push_back(At + "labels the format does not allow: " + Labels);
    const auto Value = ParseNumber(M[4]);
    if (!Value)
      Faults.push_back(At + "not a number: " + std::string(M[4]));
    S.Value = Value.value_or(0.0);
    // The sample belongs to the family whose TYPE came last: since a TYPE comes
    // once, a family's samples are then together.
    bool Belongs = Current != nullptr && S.Name == Current->Name;
    if (Current && Current->Type == "histogram")
      for (const char *Suffix : {"_bucket", "_sum", "_count"})
        Belongs = Belongs || S.Name == Current->Name + Suffix;
    if (!Belongs) {
      Faults.push_back(At + S.Name + " is not a sample of the family above it");
      continue;
    }
    if (Current->Type == "counter" && !(S.Value >= 0))
      Faults.push_back(At + "a counter below zero");
    Current->Samples.push_back(std::move(S));
  }
  for (auto &F : Read.Families) {
    F.Help = Helps.count(F.Name) ? Helps[F.Name] : "";
    if (!Helps.count(F.Name))
      Faults.push_back(F.Name + ": no HELP");
    if (F.Type == "histogram")
      CheckHistogram(F, Faults);
  }
  return Read;
}

} // namespace de30::test
