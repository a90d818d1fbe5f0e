// A real browser shows the pages the screenshots leave: headless Chromium
// renders scrnshot\MMDD_NNN.htm to a PNG, which libpng decodes, and the
// host's frame must be there, at its place in the page; and it loads
// qxsslog.htm, whose values from outside must show as text.
#include <gtest/gtest.h>

#if defined(QX_HAVE_LIBPNG)
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "fake_host.h"
#include "host/client_state.h"
#include "png_decode.h"
#include "screenshot/screenshot.h"

namespace {

constexpr const char *kChromium = "/usr/bin/chromium";

qx::platform::CalendarTime march3() { return {2027, 3, 3, 9, 30, 0}; }

// A dark frame with an orange square in the middle.
void frame(int32_t x, int32_t y, uint8_t *p) {
  const bool square = x >= 120 && x < 200 && y >= 80 && y < 160;
  p[0] = square ? 250 : 10;
  p[1] = square ? 140 : 20;
  p[2] = square ? 20 : 40;
}

TEST(Browser, ShowsTheSavedScreenshotPage) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
  qx::platform::setCalendarSource(march3);
  qxtest::FakeHost host;
  host.setFrame(320, 240, frame);
  host.start();
  host.console("qx_SsOptions 320 240 0 0 1");
  host.console("qx_GetSs");
  for (int i = 0; i < 200 && !host.printedPart("Screenshot saved"); ++i)
    host.pump(1);
  ASSERT_TRUE(host.printedPart("Screenshot saved"));
  std::string page =
      std::string(qx::client().host.homeDir) + "scrnshot/0303_000.htm";
  for (char &c : page)
    if (c == '\\') c = '/';
  const std::string shot = qxtest::makeTempDir() + "/page.png";
  const std::string profile = qxtest::makeTempDir();
  const std::string command =
      std::string(kChromium) +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update"
      " --disable-sync --hide-scrollbars --user-data-dir=" +
      profile + " --screenshot=" + shot + " --window-size=600,500 file://" +
      page + " >/dev/null 2>&1";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string bytes = qxtest::readFile(shot);
  const sstest::Decoded d =
      sstest::decodePng(std::vector<uint8_t>(bytes.begin(), bytes.end()));
  ASSERT_TRUE(d.ok) << shot;
  // The page shows the image at its top left, after the paragraph's
  // margin; the square's centre lies 10 + 160 pixels right and 10 + 120
  // pixels below the image's corner. Find the image's grey border first.
  int left = -1, top = -1;
  for (uint32_t y = 0; y < 100 && top < 0; ++y)
    for (uint32_t x = 0; x < 100; ++x)
      if (d.at(x, y)[0] == 127 && d.at(x, y)[1] == 127 &&
          d.at(x, y)[2] == 127) {
        left = int(x);
        top = int(y);
        break;
      }
  ASSERT_GE(left, 0) << "no image border in the rendered page";
  const uint8_t *centre = d.at(uint32_t(left + 170), uint32_t(top + 130));
  EXPECT_EQ(centre[0], 250);
  EXPECT_EQ(centre[1], 140);
  EXPECT_EQ(centre[2], 20);
  const uint8_t *outside = d.at(uint32_t(left + 20), uint32_t(top + 20));
  EXPECT_EQ(outside[0], 10);
  EXPECT_EQ(outside[2], 40);
  qx::platform::setCalendarSource(nullptr);
  std::printf("rendered page: %s\n", shot.c_str());
}

// A player name the server set by directive goes into the screenshot log.
// In the browser the log shows it as text, and its script never runs: a
// script that ran would have added the element "ran" to the page.
TEST(Browser, LogShowsHostileTextWithoutRunningIt) {
  if (access(kChromium, X_OK) != 0) GTEST_SKIP() << "no " << kChromium;
  qxtest::FakeHost host;
  host.setFrame(64, 64, frame);
  const std::string hostile =
      "<script>document.body.insertAdjacentHTML('beforeend',"
      "'<b id=\"ran\">RAN</b>')</script><i>'&amp;\"</i>";
  host.details["player"] = hostile;
  host.start();
  // A server request the request check accepts, for 64 x 64 pixels now.
  const std::string request =
      "0 " + std::to_string(uint32_t(host.gi.agentParams[2])) + " 42 64 64";
  qx::screenshot::queueScreenshot(&host.gi, int32_t(request.size()),
                                  request.c_str());
  for (int i = 0; i < 400 && qx::client().screenshot.slots[0].stage; ++i) {
    host.advance(600);
    host.frame();
  }
  ASSERT_EQ(qx::client().screenshot.slots[0].stage, 0);
  std::string log = std::string(qx::client().host.homeDir) + "qxsslog.htm";
  for (char &c : log)
    if (c == '\\') c = '/';
  const std::string dom = qxtest::makeTempDir() + "/dom.html";
  const std::string profile = qxtest::makeTempDir();
  const std::string command =
      std::string(kChromium) +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update"
      " --disable-sync --user-data-dir=" +
      profile + " --dump-dom file://" + log + " >" + dom + " 2>/dev/null";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string page = qxtest::readFile(dom);
  ASSERT_NE(page.find("MD5="), std::string::npos) << page;
  EXPECT_EQ(page.find("<b id=\"ran\">"), std::string::npos) << page;
  EXPECT_EQ(page.find("<script"), std::string::npos) << page;
  EXPECT_EQ(page.find("<i>"), std::string::npos) << page;
  // The browser serialises the shown text with its own escapes.
  EXPECT_NE(page.find("&lt;script&gt;document.body.insertAdjacentHTML("
                      "'beforeend','&lt;b id=\"ran\"&gt;RAN&lt;/b&gt;')"
                      "&lt;/script&gt;&lt;i&gt;'&amp;amp;\"&lt;/i&gt;"),
            std::string::npos)
      << page;
}

}  // namespace
#endif
