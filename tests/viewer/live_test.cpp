// Live view against the recorder stand-in's control server and live stream:
// the connect sequence and its failure messages, the four cameras' pictures,
// the recorder clock, supervision, switch-over and disconnect.
#include "zebsim/live.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QImage>
#include <QRegularExpression>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <random>
#include <thread>

#include "disk_fixture.h"
#include "live_picture.h"
#include "poll_round.h"
#include "velmora/rectime.h"

namespace {

using namespace velmora::viewer;

// The library's picture (bottom row first, three bytes blue, green, red)
// becomes the cell's image top row first, each pixel those three colours,
// at widths where whole groups of four pixels are widened together and
// where some or all are left over.
TEST(LivePicture, TheLibrarysBytesBecomeTheImageRowForRowAndPixelForPixel) {
  std::mt19937 random(7);
  for (const int width : {704, 13, 9, 5, 1}) {
    const int height = 3;
    std::vector<uint8_t> bytes(static_cast<size_t>(width) * height * 3);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    const QImage image = image_from_bottom_up_bgr(bytes.data(), width, height);
    ASSERT_EQ(image.size(), QSize(width, height));
    int wrong = 0;
    for (int y = 0; y < height; ++y)
      for (int x = 0; x < width; ++x) {
        const uint8_t* p = &bytes[(static_cast<size_t>(height - 1 - y) * width + x) * 3];
        if (image.pixel(x, y) != qRgb(p[2], p[1], p[0]) && ++wrong <= 3)
          ADD_FAILURE() << "width " << width << " at " << x << "," << y;
      }
    EXPECT_EQ(wrong, 0) << "width " << width;
  }
}

// A round of polls calls every poll once, on threads of the round's own
// numbers, never two at a time on one number, and the polls of a round run
// side by side: the first waits for the second to begin, which one thread
// alone could never do. Rounds of every size follow each other without a
// poll of one round running in the next.
TEST(LivePicture, ARoundOfPollsRunsEachPollOnceAndSideBySide) {
  PollRound round(3);
  ASSERT_EQ(round.threads(), 3);
  std::mutex lock;
  std::condition_variable changed;
  bool second_began = false;
  bool waited = false;
  round.run(2, [&](int i, int) {
    std::unique_lock<std::mutex> g(lock);
    if (i == 1) {
      second_began = true;
      changed.notify_all();
    } else {
      waited = changed.wait_for(g, std::chrono::seconds(60), [&] { return second_began; });
    }
  });
  EXPECT_TRUE(waited);

  for (int count = 0; count <= 40; ++count) {
    std::vector<std::atomic<int>> calls(static_cast<size_t>(count));
    std::array<std::atomic<int>, 3> in_use{};
    std::atomic<int> wrong_thread{0}, shared_thread{0};
    round.run(count, [&](int i, int thread) {
      if (thread < 0 || thread >= 3) {
        ++wrong_thread;
        return;
      }
      if (in_use[static_cast<size_t>(thread)].fetch_add(1) != 0) ++shared_thread;
      ++calls[static_cast<size_t>(i)];
      std::this_thread::yield();
      in_use[static_cast<size_t>(thread)].fetch_sub(1);
    });
    for (int i = 0; i < count; ++i) EXPECT_EQ(calls[static_cast<size_t>(i)].load(), 1) << count << " polls, poll " << i;
    EXPECT_EQ(wrong_thread.load(), 0);
    EXPECT_EQ(shared_thread.load(), 0);
  }
}

// A base port p with p and p + 1 free for UDP on any address.
uint16_t free_udp_port_pair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int a = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t len = sizeof sa;
    if (::bind(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(a, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
      ::close(a);
      continue;
    }
    const uint16_t port = ntohs(sa.sin_port);
    int b = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sb = sa;
    sb.sin_port = htons(static_cast<uint16_t>(port + 1));
    const bool ok = port < 65535 && ::bind(b, reinterpret_cast<sockaddr*>(&sb), sizeof sb) == 0;
    ::close(a);
    ::close(b);
    if (ok) return port;
  }
  return 0;
}

// The intra pictures of a clip, decoded by ffmpeg (blue, green, red, top row
// first): a poll shows the first picture of the newest group, an intra one.
std::vector<std::vector<uint8_t>> clip_intra_pictures(const std::string& clip) {
  std::vector<std::vector<uint8_t>> out;
  const std::string cmd = "ffmpeg -nostdin -v error -i '" + clip +
                          "' -vf \"select=eq(pict_type\\,I)\" -vsync 0 -f rawvideo -pix_fmt bgr24 - 2>/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return out;
  std::vector<uint8_t> frame(704 * 480 * 3);
  while (std::fread(frame.data(), 1, frame.size(), p) == frame.size()) out.push_back(frame);
  ::pclose(p);
  return out;
}

// Mean absolute difference per colour value between a shown picture and the
// nearest of the reference pictures. The picture file holds the decoded
// picture without its last 8 rows.
double nearest_difference(const QImage& shown, const std::vector<std::vector<uint8_t>>& pictures) {
  const QImage img = shown.convertToFormat(QImage::Format_RGB888);
  if (img.width() != 704 || img.height() > 480) return 1e9;
  double best = 1e9;
  for (const auto& f : pictures) {
    double sum = 0;
    long count = 0;
    for (int y = 0; y < img.height(); y += 2) {
      const uchar* row = img.constScanLine(y);
      const uint8_t* ref = &f[size_t(y) * 704 * 3];
      for (int x = 0; x < 704; x += 2) {
        sum += std::abs(int(row[3 * x]) - ref[3 * x + 2]) + std::abs(int(row[3 * x + 1]) - ref[3 * x + 1]) +
               std::abs(int(row[3 * x + 2]) - ref[3 * x]);
        count += 3;
      }
    }
    best = std::min(best, sum / count);
  }
  return best;
}

// Sends hand-made live frames from the recorder's own address, as the
// recorder would.
class FrameSender {
 public:
  FrameSender(const std::string& from, uint16_t port) : port_(port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &sa.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ~FrameSender() { ::close(fd_); }
  // One picture frame of camera 0 with the given flags byte, in one datagram.
  void send_picture_flags(uint8_t number, uint8_t flags, uint16_t status) {
    std::vector<uint8_t> frame(128 + 6 + 32, 0);
    frame[4] = static_cast<uint8_t>(frame.size() - 28);
    frame[15] = 0;
    frame[16] = static_cast<uint8_t>(status);
    frame[17] = static_cast<uint8_t>(status >> 8);
    frame[22] = flags;
    frame[128 + 2] = 1;  // one sub-frame of 32 bytes
    std::vector<uint8_t> d(8 + frame.size(), 0);
    d[0] = number;
    d[1] = 0;
    d[2] = 1;
    d[3] = 0;
    d[4] = static_cast<uint8_t>(frame.size());
    d[5] = static_cast<uint8_t>(frame.size() >> 8);
    std::copy(frame.begin(), frame.end(), d.begin() + 8);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }

 private:
  int fd_ = -1;
  uint16_t port_;
};

class LiveView : public DiskViewerTest {
 protected:
  // A recorder that streams straight to this PC on a port pair of its own.
  zebsim::Recorder& start_streaming_sim() {
    auto& sim = start_sim();
    const uint16_t port = free_udp_port_pair();
    EXPECT_NE(port, 0);
    sim.set_switch_item("cam", 182, 0x7F000001);  // 127.0.0.1
    sim.set_switch_item("cam", 183, port);
    return sim;
  }

  zebsim::LiveStream& add_stream(zebsim::Recorder& sim) {
    zebsim::LiveConfig config;
    config.clips_dir = velmora::testing::clips_dir();
    streams_.push_back(std::make_unique<zebsim::LiveStream>(sim, config));
    return *streams_.back();
  }

  void TearDown() override {
    DiskViewerTest::TearDown();
    for (auto& s : streams_) s->stop();
  }

  bool all_cells_stale() const {
    for (int cell = 0; cell < 4; ++cell)
      if (!view_->cell_stale(cell)) return false;
    return true;
  }

  bool all_cells_shown() const {
    const auto& shown = view_->picture_shown();
    return shown[0] && shown[1] && shown[2] && shown[3];
  }

  static bool has_command(const zebsim::Recorder& sim, const std::string& command) {
    const auto c = commands(sim);
    return std::find(c.begin(), c.end(), command) != c.end();
  }

  std::vector<std::unique_ptr<zebsim::LiveStream>> streams_;
};

TEST_F(LiveView, ConnectsAndShowsTheFourCamerasWithTheRecorderClock) {
  auto& sim = start_streaming_sim();
  auto& stream = add_stream(sim);
  write_lansetting(entry(1, "Shop", sim.config().address, "01=入口\n"));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(message_texts().empty()) << message_texts()[0].toStdString();
  EXPECT_EQ(text_of("Label5"), QStringLiteral("ライブ"));
  EXPECT_TRUE(v.receiving());
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);

  // The set-up requests, in order, and the control connection closed again.
  const std::vector<std::string> expected = {"CamSwSet BB 00", "CamSwGet 0000B5", "CamSwGet 0000BD",
                                             "CamSwSet BD 00", "CamSwGet 0000B6", "CamSwGet 0000B7",
                                             "UDPup 01 03",    "SendMenu 00",     "UDPdispmode 00 0F 00"};
  EXPECT_EQ(commands(sim), expected);
  EXPECT_TRUE(wait_for([&] { return sim.open_sessions() == 0; }));
  EXPECT_EQ(v.stream_address(), QStringLiteral("127.0.0.1"));
  EXPECT_EQ((v.camera_table()), (std::vector<std::pair<int, int>>{{0, 1}, {1, 1}, {2, 1}, {3, 1}}));
  EXPECT_EQ(v.cell_names()[0], QStringLiteral("入口"));
  EXPECT_EQ(v.cell_names()[1], QStringLiteral("カメラ02"));
  // The cells carry the names.
  EXPECT_EQ(text_of("Label4_0"), QStringLiteral("入口"));
  EXPECT_EQ(text_of("Label4_1"), QStringLiteral("カメラ02"));

  // Each cell shows its camera: the nearest picture of its own clip is close,
  // those of the other cameras' clips are not.
  ASSERT_TRUE(wait_for([&] { return all_cells_shown(); }, 20000));
  EXPECT_TRUE(stream.running());
  std::vector<std::vector<std::vector<uint8_t>>> clips;
  for (int k = 0; k < 4; ++k)
    clips.push_back(clip_intra_pictures(velmora::testing::clips_dir() + "/cam" + std::to_string(k) + "_704x480.m4v"));
  const char* cells[] = {"Image1_0", "Image1_1", "Image1_2", "Image1_3"};
  for (int cell = 0; cell < 4; ++cell) {
    auto* box = find<PictureBox>(cells[cell]);
    EXPECT_EQ(box->source(), QString::fromStdString(home_.file("img/serv00" + std::to_string(cell) + ".jpg")));
    ASSERT_FALSE(clips[size_t(cell)].empty());
    EXPECT_EQ(box->image().size(), QSize(704, 472));
    const double own = nearest_difference(box->image(), clips[size_t(cell)]);
    EXPECT_LT(own, 3.0) << "cell " << cell;
    for (int other = 0; other < 4; ++other) {
      if (other != cell) {
        EXPECT_GT(nearest_difference(box->image(), clips[size_t(other)]), 30.0) << cell << other;
      }
    }
  }

  // The clock shows the recorder's time. The label follows the recorder on
  // the window's timer, which the picture comparisons above may have held up
  // on a busy machine: wait until it has caught up.
  ASSERT_TRUE(wait_for([&] { return !text_of("lblTime").isEmpty(); }));
  EXPECT_TRUE(text_of("lblTime").contains(
      QRegularExpression(QStringLiteral("^\\d{4}年\\d{1,2}月\\d{1,2}日\\n\\d{1,2}時\\d{1,2}分\\d{1,2}秒$"))));
  int64_t clock_difference_s = -1;
  EXPECT_TRUE(wait_for(
      [&] {
        const auto shown = parse_shown_time(text_of("lblTime"));
        const auto recorder = parse_shown_time(QString::fromStdString(sim.clock_date() + " " + sim.clock_time()));
        if (!shown || !recorder) return false;
        clock_difference_s = std::abs(int64_t(*recorder) - int64_t(*shown));
        return clock_difference_s <= 3;
      },
      30000))
      << "the shown clock stays " << clock_difference_s << " s from the recorder's";

  // TELnet ON says that it worked.
  click("Command10");
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("TELnetをONにしました。")}));
  EXPECT_TRUE(has_command(sim, "HDSwSet 63 120")) << ::testing::PrintToString(commands(sim));
  messages_.clear();

  // Disconnect: the stream stops, the start pictures come back.
  click("Command16");
  EXPECT_EQ(text_of("Label5"), QStringLiteral("未接続"));
  EXPECT_FALSE(v.receiving());
  EXPECT_TRUE(has_command(sim, "UDPdown 00 00"));
  EXPECT_TRUE(wait_for([&] { return !stream.running(); }));
  for (const char* cell : cells) EXPECT_EQ(find<PictureBox>(cell)->source(), start_picture());
  EXPECT_EQ(v.cell_names()[0], QStringLiteral("カメラ01"));
  EXPECT_EQ(text_of("Label4_0"), QStringLiteral("CH1"));
  // The recorder's clock goes with it.
  EXPECT_TRUE(text_of("lblTime").isEmpty());
  EXPECT_FALSE(find<QPushButton>("Command16")->isEnabled());
  EXPECT_TRUE(find<QPushButton>("Command3")->isEnabled());
  EXPECT_TRUE(wait_for([&] { return sim.open_sessions() == 0; }));
  EXPECT_TRUE(message_texts().empty());
  // Without a recorder TELnet ON says why nothing happens.
  click("Command10");
  EXPECT_EQ(message_texts(), (std::vector<QString>{QStringLiteral("デジタルレコーダと接続されていません。")}));
}

TEST_F(LiveView, ARecorderThatStopsSendingIsDropped) {
  timing().supervision_ticks = 30;
  // No attempt to start the stream again comes first: the check of the
  // pictures is what is tested here.
  timing().silent_ms = 1 << 30;
  auto& sim = start_streaming_sim();
  auto& stream = add_stream(sim);
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(wait_for([&] { return v.picture_shown()[0] != 0; }, 20000));
  // The first check passes on the connection's head start; the next one
  // finds no pictures.
  stream.stop();
  ASSERT_TRUE(wait_for([&] { return !messages_.empty(); }, 20000));
  EXPECT_EQ(messages_[0].text, QStringLiteral("本体から画像がきていません。"));
  EXPECT_TRUE(messages_[0].system_modal);
  EXPECT_EQ(text_of("Label5"), QStringLiteral("未接続"));
  EXPECT_FALSE(v.receiving());
  EXPECT_TRUE(has_command(sim, "UDPdown 00 00"));
}

TEST_F(LiveView, AVanishedRecorderIsShownStaleAndTakenBackWhenItReturns) {
  // A camera sends a new picture every half second: the stale time stays as
  // it is; the wait for a silent recorder and its reconnections are shorter.
  timing().silent_ms = 3000;
  timing().reconnect_first_ms = 100;
  timing().reconnect_last_ms = 400;
  auto& sim = start_streaming_sim();
  auto& stream = add_stream(sim);
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(wait_for([&] { return all_cells_shown(); }, 20000));
  ASSERT_TRUE(wait_for([&] { return text_of("Label5") == QStringLiteral("ライブ") && !all_cells_stale(); }));

  // The recorder goes away, its stream with it.
  stream.stop();
  sim.stop();
  ASSERT_TRUE(wait_for([&] { return all_cells_stale(); }));
  for (int cell = 0; cell < 4; ++cell) {
    const QString note = v.findChild<PictureBox*>(QStringLiteral("Image1_%1").arg(cell))->stale_note();
    EXPECT_TRUE(note.contains(QRegularExpression(QStringLiteral("最終画像 \\d\\d:\\d\\d:\\d\\d$"))))
        << note.toStdString();
  }
  EXPECT_NE(text_of("Label5"), QStringLiteral("ライブ"));
  EXPECT_NE(v.status_text(), QStringLiteral("ライブ"));
  screenshot(view_.get(), QStringLiteral("mainview-live-stale"));

  // Silent as a whole: the window says so and asks the recorder again, more
  // than once, while it stays connected.
  ASSERT_TRUE(wait_for([&] { return v.recorder_silent() && v.reconnect_attempts() >= 2; }));
  EXPECT_EQ(text_of("Label5"), QStringLiteral("受信停止・再接続中"));
  EXPECT_TRUE(text_of("lblStatus").contains(QStringLiteral("再接続"))) << text_of("lblStatus").toStdString();
  EXPECT_TRUE(v.receiving());
  EXPECT_TRUE(messages_.empty()) << message_texts()[0].toStdString();
  screenshot(view_.get(), QStringLiteral("mainview-live-reconnecting"));

  // The recorder returns: the stream is asked for again and fresh pictures
  // replace the stale ones.
  const int logins = sim.logins();
  ASSERT_TRUE(sim.start()) << sim.error();
  ASSERT_TRUE(wait_for([&] { return stream.running(); }));
  EXPECT_GT(sim.logins(), logins);
  ASSERT_TRUE(wait_for([&] {
    for (int cell = 0; cell < 4; ++cell)
      if (v.cell_stale(cell)) return false;
    return !v.recorder_silent() && text_of("Label5") == QStringLiteral("ライブ");
  }));
  EXPECT_EQ(v.status_text(), QStringLiteral("ライブ"));
  EXPECT_EQ(v.reconnect_attempts(), 0);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(LiveView, AStillOfALiveCellIsNamedAndMarkedByCameraAndTime) {
  auto& sim = start_streaming_sim();
  add_stream(sim);
  const QString dest = QString::fromStdString(home_.file("stills"));
  QDir().mkpath(dest);
  ASSERT_TRUE(velmora::testing::write_file(home_.file("sn.ini"), "[ZEB]\nPicSavePath=" + dest.toStdString() + "\n"));
  write_lansetting(entry(1, "Shop", sim.config().address, "03=Gate\n"));
  MainView& v = start_with_windows();
  double_click_entry(1);
  ASSERT_TRUE(wait_for([&] { return all_cells_shown(); }, 20000));

  // In the four-picture view the clicked cell is the one saved.
  auto* still = find<QPushButton>("Command6");
  EXPECT_TRUE(still->isVisible() && still->isEnabled());
  QTest::mouseClick(find<PictureBox>("Image1_2"), Qt::LeftButton);
  EXPECT_EQ(v.still_cell(), 2);
  const QImage shown = find<PictureBox>("Image1_2")->image();
  click("Command6");
  PicSave* ps = windows_->picture_save();
  ASSERT_NE(ps, nullptr);
  EXPECT_EQ(in<PictureBox>(ps, QStringLiteral("Image1"))->image().size(), shown.size());
  EXPECT_EQ(shown.size(), QSize(704, 472));

  const auto [name, comment] = save_offered_still(ps);
  const QRegularExpressionMatch named =
      QRegularExpression(QStringLiteral("^Shop_Gate_(\\d{4})(\\d\\d)(\\d\\d)-(\\d\\d)(\\d\\d)(\\d\\d)$")).match(name);
  ASSERT_TRUE(named.hasMatch()) << name.toStdString();
  const QString when = QStringLiteral("%1-%2-%3 %4:%5:%6")
                           .arg(named.captured(1), named.captured(2), named.captured(3), named.captured(4),
                                named.captured(5), named.captured(6));
  ASSERT_TRUE(comment.has_value());
  EXPECT_EQ(*comment, QStringLiteral("camera 3 (Gate); time ") + when + QStringLiteral("; live; recorder Shop"));
  // The time is the recorder's, of a picture that came moments ago.
  const auto taken = parse_shown_time(QString(when).replace(QLatin1Char('-'), QLatin1Char('/')));
  const auto recorder = parse_shown_time(QString::fromStdString(sim.clock_date() + " " + sim.clock_time()));
  ASSERT_TRUE(taken && recorder);
  EXPECT_LE(*taken, *recorder);
  EXPECT_LT(*recorder - *taken, 300u);
  // The saved picture is the cell's at its own size.
  EXPECT_EQ(QImage(dest + "/" + name + ".jpg").size(), QSize(704, 472));
}

TEST_F(LiveView, TheRecorderCanDropTheViewer) {
  auto& sim = start_streaming_sim();
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(v.receiving());
  FrameSender sender(sim.config().address, static_cast<uint16_t>(sim.switch_item("cam", 183)));
  uint8_t number = 1;
  ASSERT_TRUE(wait_for(
      [&] {
        sender.send_picture_flags(number++, 0x10, 0x000F);
        return !messages_.empty();
      },
      10000));
  EXPECT_EQ(messages_[0].text, QStringLiteral("本体より強制切断されました"));
  EXPECT_EQ(text_of("Label5"), QStringLiteral("未接続"));
  EXPECT_FALSE(v.receiving());
}

TEST_F(LiveView, ASecondRecorderTakesOverFromTheFirst) {
  auto& first = start_streaming_sim();
  auto& second = start_streaming_sim();
  auto& first_stream = add_stream(first);
  auto& second_stream = add_stream(second);
  write_lansetting(entry(1, "One", first.config().address) + entry(2, "Two", second.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(wait_for([&] { return v.picture_shown()[0] != 0; }, 20000));
  // The recorder being received again: nothing happens.
  const int logins = first.logins();
  double_click_entry(1);
  EXPECT_EQ(first.logins(), logins);

  double_click_entry(2);
  EXPECT_TRUE(message_texts().empty());
  EXPECT_TRUE(has_command(first, "UDPdown 00 00"));
  EXPECT_TRUE(wait_for([&] { return !first_stream.running(); }));
  EXPECT_TRUE(has_command(second, "UDPup 01 03"));
  EXPECT_EQ(text_of("Label5"), QStringLiteral("ライブ"));
  EXPECT_EQ(v.selected_entry(), 1);
  EXPECT_TRUE(second_stream.running());
  const auto count = [&] { return second_stream.frames_sent(0); };
  EXPECT_TRUE(wait_for([&] { return count() > 0; }));
  EXPECT_TRUE(wait_for([&] { return first.open_sessions() == 0 && second.open_sessions() == 0; }));
}

TEST_F(LiveView, ASwitchOverToARecorderThatRefusesLeavesTheWindowNotConnected) {
  auto& first = start_streaming_sim();
  auto& second = start_streaming_sim();
  add_stream(first);
  second.inject({zebsim::Fault::kRefusePassword, -1, 0, 51});
  write_lansetting(entry(1, "One", first.config().address) + entry(2, "Two", second.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_TRUE(wait_for([&] { return v.picture_shown()[0] != 0; }, 20000));
  double_click_entry(2);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("デジタルレコーダが接続禁止設定です。"));
  EXPECT_TRUE(has_command(first, "UDPdown 00 00"));
  EXPECT_FALSE(v.receiving());
  EXPECT_EQ(text_of("Label5"), QStringLiteral("接続失敗"));
  EXPECT_EQ(find<PictureBox>("Image1_0")->source(), start_picture());
  EXPECT_FALSE(find<QPushButton>("Command16")->isEnabled());
  EXPECT_TRUE(find<QPushButton>("Command5")->isEnabled());
  // The first recorder can be chosen again.
  second.clear_faults();
  double_click_entry(1);
  EXPECT_TRUE(v.receiving());
}

// Connect steps that the recorder refuses, without a live stream.
using LiveConnect = LiveView;

TEST_F(LiveConnect, AStreamStartTheRecorderRefusesShowsWhy) {
  auto& sim = start_streaming_sim();
  // The recorder reports the stream as in use (all bits set) ...
  sim.add_command("UDPup", [](zebsim::Session& s, const zebsim::Request& r) { s.reply(r, "FFFFFFFF"); });
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("使用されています。"));
  EXPECT_TRUE(messages_[0].system_modal);
  EXPECT_EQ(text_of("Label5"), QStringLiteral("接続失敗"));
  EXPECT_EQ(v.selected_entry(), -99);
  EXPECT_TRUE(wait_for([&] { return sim.open_sessions() == 0; }));
  // ... or refuses it.
  sim.inject({zebsim::Fault::kNotOk, 1, 0, 0, "UDPup"});
  double_click_entry(1);
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_EQ(messages_[1].text, QStringLiteral("接続に失敗しました。"));
  EXPECT_FALSE(v.receiving());
}

TEST_F(LiveConnect, AMenuThatCannotBeReadStopsTheStreamAgain) {
  auto& sim = start_streaming_sim();
  sim.add_command("SendMenu", [](zebsim::Session& s, const zebsim::Request& r) {
    const std::string refused = r.id + " NG\r\n";
    s.send_raw(refused.data(), refused.size());
  });
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, QStringLiteral("接続に失敗しました。"));
  EXPECT_EQ(text_of("Label5"), QStringLiteral("接続失敗"));
  EXPECT_TRUE(has_command(sim, "UDPdown 00 00"));
  EXPECT_FALSE(v.receiving());
  EXPECT_TRUE(wait_for([&] { return sim.open_sessions() == 0; }));
}

TEST_F(LiveConnect, TheStreamAddressComesFromTheHexDigitsOfItsItem) {
  auto& sim = start_streaming_sim();
  sim.set_switch_item("cam", 182, 0xC0A80001);
  write_lansetting(entry(1, "Shop", sim.config().address));
  MainView& v = start_view();
  double_click_entry(1);
  EXPECT_TRUE(message_texts().empty());
  EXPECT_EQ(v.stream_address(), QStringLiteral("192.168.0.1"));
  EXPECT_EQ(v.stream_port(), static_cast<int32_t>(sim.switch_item("cam", 183)));
}

struct PacketCase {
  uint32_t a;          // item 181
  uint32_t current;    // item 189 before
  const char* packet;  // the list's Packet value
  uint32_t after;      // item 189 after
};
void PrintTo(const PacketCase& c, std::ostream* os) {
  *os << "item 181 " << c.a << ", item 189 " << c.current << ", Packet \"" << c.packet << "\"";
}
class PacketSizeItem : public LiveView, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(PacketSizeItem, IsSetAsTheListSaysButOnlyEverLowered) {
  const PacketCase c = GetParam();
  auto& sim = start_streaming_sim();
  sim.set_switch_item("cam", 181, c.a);
  sim.set_switch_item("cam", 189, c.current);
  write_lansetting(entry(1, "Shop", sim.config().address, std::string("Packet=") + c.packet + "\n"));
  start_view();
  double_click_entry(1);
  EXPECT_TRUE(message_texts().empty());
  EXPECT_EQ(sim.switch_item("cam", 189), c.after);
}

INSTANTIATE_TEST_SUITE_P(Cases, PacketSizeItem,
                         ::testing::Values(PacketCase{0, 1400, "", 0}, PacketCase{0, 1400, "6000", 6000},
                                           PacketCase{1, 1400, "6000", 1400}, PacketCase{1, 8000, "6000", 6000},
                                           PacketCase{1, 8000, "", 0}, PacketCase{1, 0, "", 0},
                                           PacketCase{1, 8000, "4999", 0}),
                         [](const ::testing::TestParamInfo<PacketCase>& info) {
                           const PacketCase& c = info.param;
                           return "a" + std::to_string(c.a) + "_was" + std::to_string(c.current) + "_list" +
                                  (*c.packet ? std::string(c.packet) : std::string("none"));
                         });

}  // namespace
