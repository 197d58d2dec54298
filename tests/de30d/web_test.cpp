// The dashboard's files as de30d serves them, and the reads it builds on: the
// station's names and the event id every read of state carries.
#include "event_stream.hpp"
#include "service_fixture.hpp"
#include "web_assets.hpp"

#include <fstream>
#include <sstream>

namespace {

using namespace de30;
using namespace de30::test;

class Web : public TServiceTest {};

std::string SourceOf(const std::string &Name) {
  std::ifstream In(std::string(DE30_WEB_DIR) + "/" + Name, std::ios::binary);
  std::ostringstream Text;
  Text << In.rdbuf();
  return Text.str();
}

TEST_F(Web, EveryFileIsServedAsWrittenWithItsTypeAndCacheHeaders) {
  const struct {
    const char *Route;
    const char *File;
    const char *Type;
  } Files[] = {
      {"/", "index.html", "text/html; charset=utf-8"},
      {"/dashboard.css", "dashboard.css", "text/css; charset=utf-8"},
      {"/dashboard.js", "dashboard.js", "text/javascript; charset=utf-8"},
      {"/favicon.svg", "favicon.svg", "image/svg+xml"},
  };
  for (const auto &F : Files) {
    const auto R = Client->Get(F.Route);
    ASSERT_TRUE(R) << F.Route;
    EXPECT_EQ(R->status, 200) << F.Route;
    EXPECT_EQ(R->get_header_value("Content-Type"), F.Type) << F.Route;
    // Byte for byte what the repository holds: nothing lost or added by embedding.
    const std::string Source = SourceOf(F.File);
    ASSERT_FALSE(Source.empty()) << F.File;
    EXPECT_EQ(R->body, Source) << F.Route;
    EXPECT_EQ(R->get_header_value("Cache-Control"), "no-cache") << F.Route;
    EXPECT_EQ(R->get_header_value("ETag").front(), '"') << F.Route;
    EXPECT_EQ(R->get_header_value("X-Content-Type-Options"), "nosniff") << F.Route;
    EXPECT_NE(R->get_header_value("Content-Security-Policy").find("default-src 'none'"),
              std::string::npos)
        << F.Route;
  }
  // A path that is neither a file nor the interface is the interface's 404.
  TReply Missing = Get("/dashboard.js.map");
  EXPECT_EQ(Missing.Status, 404);
  EXPECT_EQ(Missing.Body["error"], "not_found");
}

TEST_F(Web, ABrowsersCopyIsConfirmedWithoutItsBodyUntilTheFileChanges) {
  const auto First = Client->Get("/dashboard.js");
  ASSERT_TRUE(First);
  const std::string Tag = First->get_header_value("ETag");
  for (const std::string &Given : {Tag, "W/" + Tag, "\"other\", " + Tag, std::string("*")}) {
    const auto Again = Client->Get("/dashboard.js", {{"If-None-Match", Given}});
    ASSERT_TRUE(Again) << Given;
    EXPECT_EQ(Again->status, 304) << Given;
    EXPECT_TRUE(Again->body.empty()) << Given;
    EXPECT_EQ(Again->get_header_value("ETag"), Tag);
  }
  const auto Stale = Client->Get("/dashboard.js", {{"If-None-Match", "\"0000000000000000\""}});
  ASSERT_TRUE(Stale);
  EXPECT_EQ(Stale->status, 200);
  EXPECT_EQ(Stale->body, First->body);
  // Each file has its own tag.
  const auto Style = Client->Get("/dashboard.css");
  ASSERT_TRUE(Style);
  EXPECT_NE(Style->get_header_value("ETag"), Tag);
}

TEST(WebAssets, TagsFollowTheBytesAndFreshnessReadsTheHeadersForms) {
  const unsigned char A[] = {'a', 'b'};
  const unsigned char B[] = {'a', 'c'};
  using service::TWebAsset;
  const TWebAsset First{"a", "text/plain", A, 2};
  const TWebAsset Second{"b", "text/plain", B, 2};
  const TWebAsset Shorter{"c", "text/plain", A, 1};
  const std::string Tag = service::EntityTag(First);
  EXPECT_EQ(Tag.size(), 18u);
  EXPECT_EQ(Tag, service::EntityTag(First));
  EXPECT_NE(Tag, service::EntityTag(Second));
  EXPECT_NE(Tag, service::EntityTag(Shorter));
  EXPECT_TRUE(service::StillFresh(Tag, Tag));
  EXPECT_TRUE(service::StillFresh(" W/" + Tag + " ", Tag));
  EXPECT_TRUE(service::StillFresh("\"x\",\"y\" , " + Tag, Tag));
  EXPECT_FALSE(service::StillFresh("", Tag));
  EXPECT_FALSE(service::StillFresh("\"x\", \"y\"", Tag));
  EXPECT_FALSE(service::StillFresh(Tag.substr(1), Tag)); // unquoted is another tag
}

TEST_F(Web, TheStationCallNamesTheStationAndItsGrades) {
  TReply Named = Get("/api/v1/station");
  ASSERT_EQ(Named.Status, 200);
  EXPECT_EQ(Named.Body["id"], "de30-simulated");
  EXPECT_EQ(Named.Body["grades"],
            TJson({{"1", "92"}, {"2", "95"}, {"3", "98"}, {"4", "diesel"}}));
  EXPECT_EQ(Named.Body["journal"]["ok"], true);
  EXPECT_TRUE(Named.Body["journal"]["error"].is_null());
}

TEST_F(Web, EveryReadOfStateCarriesTheLastEventPublishedBeforeIt) {
  WaitForPump("1:1", "idle");
  const auto IdOf = [this](const std::string &Path) -> long long {
    const auto R = Client->Get(Path);
    if (!R || R->status != 200 || !R->has_header("De30-Event-Id"))
      return -1;
    // "RUN-SEQUENCE", of this run.
    const auto Id = service::ParseEventId(R->get_header_value("De30-Event-Id"));
    if (!Id || Id->Run != Station->Events().Run())
      return -1;
    return static_cast<long long>(Id->Sequence);
  };
  const long long Before = IdOf("/api/v1/pumps");
  EXPECT_GT(Before, 0); // the pumps' first answers were events
  EXPECT_LE(static_cast<std::uint64_t>(Before), Station->Events().Published());
  for (const char *Path :
       {"/api/v1/pumps/1:1", "/api/v1/sales", "/api/v1/lines", "/api/v1/prices"})
    EXPECT_GE(IdOf(Path), Before) << Path;
  ASSERT_TRUE(Sim().LiftNozzle(1, 1, 1));
  WaitForPump("1:1", "calling");
  // The lift was published before this read, so the id has moved past it.
  EXPECT_GT(IdOf("/api/v1/pumps"), Before);
}

} // namespace
