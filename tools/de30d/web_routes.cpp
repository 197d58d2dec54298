// The dashboard at /: its page, style sheet, script and icon, each from the copy
// built into the program. Browsers keep a copy but ask again every time (ETag),
// so an upgraded de30d is never shown with an old script.

#include "routes.hpp"
#include "web_assets.hpp"

#include <cstdint>
#include <cstdio>

namespace de30::service {
namespace {

// The page loads nothing from anywhere else, and nothing it shows can run as a script.
constexpr const char *ContentPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::string RouteOf(const std::string &Name) {
  if (Name == "index.html")
    return "/";
  std::string Route = "/";
  for (char C : Name) {
    if (C == '.')
      Route += '\\';
    Route += C;
  }
  return Route;
}

std::string Trimmed(const std::string &Text) {
  const auto First = Text.find_first_not_of(" \t");
  if (First == std::string::npos)
    return "";
  return Text.substr(First, Text.find_last_not_of(" \t") - First + 1);
}

} // namespace

std::string EntityTag(const TWebAsset &Asset) {
  // FNV-1a: the tag only has to change when the bytes do.
  std::uint64_t Hash = 14695981039346656037ull;
  for (std::size_t I = 0; I < Asset.Size; ++I) {
    Hash ^= Asset.Data[I];
    Hash *= 1099511628211ull;
  }
  char Text[24];
  std::snprintf(Text, sizeof Text, "\"%016llx\"", static_cast<unsigned long long>(Hash));
  return Text;
}

bool StillFresh(const std::string &IfNoneMatch, const std::string &Tag) {
  std::size_t From = 0;
  while (From <= IfNoneMatch.size()) {
    const auto Comma = IfNoneMatch.find(',', From);
    std::string Given = Trimmed(IfNoneMatch.substr(
        From, Comma == std::string::npos ? std::string::npos : Comma - From));
    // A weak comparison, as RFC 9110 asks for If-None-Match.
    if (Given.rfind("W/", 0) == 0)
      Given.erase(0, 2);
    if (Given == "*" || Given == Tag)
      return true;
    if (Comma == std::string::npos)
      break;
    From = Comma + 1;
  }
  return false;
}

void AddWebRoutes(httplib::Server &Server) {
  for (const TWebAsset &Asset : WebAssets()) {
    Server.Get(RouteOf(Asset.Name), [&Asset, Tag = EntityTag(Asset)](const httplib::Request &Q,
                                                                     httplib::Response &R) {
      R.set_header("Cache-Control", "no-cache");
      R.set_header("ETag", Tag);
      R.set_header("X-Content-Type-Options", "nosniff");
      R.set_header("Referrer-Policy", "no-referrer");
      R.set_header("Content-Security-Policy", ContentPolicy);
      if (StillFresh(Q.get_header_value("If-None-Match"), Tag)) {
        R.status = 304;
        return;
      }
      R.set_content(reinterpret_cast<const char *>(Asset.Data), Asset.Size, Asset.ContentType);
    });
  }
}

} // namespace de30::service
