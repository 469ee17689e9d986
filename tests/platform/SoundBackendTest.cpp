// The real sound player against the private PulseAudio server: what reaches
// its null sink is recorded from the sink's monitor and measured.
#include "signals/Siren.h"

#include "DesktopFixtures.h"
#include "platform/Sound.h"
#include "support/TestSupport.h"

#include <QFileInfo>
#include <QProcess>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

namespace {

using namespace DesktopFixtures;

constexpr qint64 kBytesPerSecond = 44100 * 2 * 2;  // what the recorder writes

class SoundBackend : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = PulseServer();
        sink_ = PulseSink();
        // The player connects to the server named here when it starts.
        qputenv("PULSE_SERVER", QByteArray::fromStdString(server_));
        player = NewCanberraSoundHost();
    }

    void TearDown() override {
        if (recorder_.state() != QProcess::NotRunning) {
            recorder_.kill();
            recorder_.waitForFinished();
        }
    }

    QStringList Env() const { return {QString::fromStdString("PULSE_SERVER=" + server_)}; }

    // A WAV file made by sox: `synth` arguments as sox takes them.
    std::string Tone(const std::string& name, const QStringList& format, const QStringList& synth) {
        std::string path = dir.File(name);
        QStringList args = {"-n"};
        args << format << QString::fromStdString(path) << "synth" << synth;
        TRun run = RunTool("sox", args);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        return path;
    }

    qint64 Recorded() const { return QFileInfo(QString::fromStdString(recording_)).size(); }

    // Starts recording the null sink's monitor and waits until sound data
    // (silence until something plays) is arriving.
    void StartRecording() {
        recording_ = dir.File("recording.wav");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PULSE_SERVER", QString::fromStdString(server_));
        recorder_.setProcessEnvironment(env);
        recorder_.start("parecord", {"-d", QString::fromStdString(sink_ + ".monitor"), "--rate=44100",
                                     "--channels=2", "--format=s16le", "--file-format=wav",
                                     QString::fromStdString(recording_)});
        ASSERT_TRUE(recorder_.waitForStarted(10000)) << "parecord (pulseaudio-utils) cannot be started";
        ASSERT_TRUE(TestSupport::WaitFor([&] { return Recorded() > kBytesPerSecond / 10; }, 10000))
            << "nothing recorded: " << recorder_.readAllStandardError().toStdString();
    }

    // Records `seconds` more, then ends the recording and returns the largest
    // amplitude in it (0 for silence, up to 1).
    double StopRecording(double seconds) {
        const qint64 until = Recorded() + static_cast<qint64>(seconds * kBytesPerSecond);
        EXPECT_TRUE(TestSupport::WaitFor([&] { return Recorded() >= until; }, 20000));
        ::kill(static_cast<pid_t>(recorder_.processId()), SIGINT);
        EXPECT_TRUE(recorder_.waitForFinished(10000));
        TRun stat = RunTool("sox", {QString::fromStdString(recording_), "-n", "stat"});
        EXPECT_EQ(stat.exitCode, 0) << stat.err;
        auto at = stat.err.find("Maximum amplitude:");
        if (at == std::string::npos) {
            ADD_FAILURE() << "sox stat gave no amplitude: " << stat.err;
            return -1;
        }
        return std::atof(stat.err.c_str() + at + 18);
    }

    // The files of the streams playing on the server now.
    std::vector<std::string> Playing() {
        TRun run = RunTool("pactl", {"list", "sink-inputs"}, Env());
        EXPECT_EQ(run.exitCode, 0) << run.err;
        std::vector<std::string> files;
        const std::string key = "media.filename = \"";
        for (auto at = run.out.find(key); at != std::string::npos; at = run.out.find(key, at + 1)) {
            auto begin = at + key.size();
            files.push_back(run.out.substr(begin, run.out.find('"', begin) - begin));
        }
        return files;
    }
    bool IsPlaying(const std::string& file) {
        for (const auto& f : Playing())
            if (f == file) return true;
        return false;
    }

    TestSupport::TempDir dir;
    std::unique_ptr<TSoundHost> player;

private:
    std::string server_, sink_, recording_;
    QProcess recorder_;
};

TEST_F(SoundBackend, SirenSongIsHeardWhilePlayReturnsAtOnce) {
    const std::string tone = Tone("tone.wav", {"-r", "44100", "-c", "2", "-b", "16"}, {"1.5", "sine", "880", "vol", "0.5"});
    TestSupport::WriteFile(dir.File("Vesk.ini"), "[Siren]\r\nSong0=" + tone + "\r\n");
    TSoundHost* previous = SetSoundHost(player.get());
    StartRecording();

    TSiren siren;
    siren.IniPath = dir.File("Vesk.ini");
    EXPECT_FALSE(siren.Play(" someone@example.com\n"));
    SetSoundHost(previous);
    // The call has returned and the sound is still playing on the server.
    EXPECT_TRUE(TestSupport::WaitFor([&] { return IsPlaying(tone); }, 10000));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Playing().empty(); }, 20000));
    EXPECT_GT(StopRecording(0.3), 0.2);
}

TEST_F(SoundBackend, MissingCorruptOrUnsupportedFilesPlayNothingAndReturnNormally) {
    StartRecording();
    TestSupport::WriteFile(dir.File("corrupt.wav"), std::string("RIFF\x24\x00\x00\x00WAVEfmt ", 16) + "garbage");
    TestSupport::WriteFile(dir.File("text.wav"), "this is no sound at all\n");
    EXPECT_EQ(player->PlaySound(dir.File("missing.wav").c_str(), SND_ASYNC | SND_NODEFAULT), FALSE);
    EXPECT_EQ(player->PlaySound(dir.File("corrupt.wav").c_str(), SND_ASYNC | SND_NODEFAULT), FALSE);
    EXPECT_EQ(player->PlaySound(dir.File("text.wav").c_str(), SND_ASYNC | SND_NODEFAULT), FALSE);
    EXPECT_EQ(player->PlaySound("", SND_ASYNC | SND_NODEFAULT), FALSE);
    EXPECT_TRUE(Playing().empty());
    EXPECT_EQ(StopRecording(0.5), 0.0);
}

TEST_F(SoundBackend, ANewSoundReplacesTheOneStillPlayingAndNullStopsIt) {
    // Far longer than any wait below: if it were not replaced it would
    // still be playing.
    const std::string longTone = Tone("long.wav", {"-r", "8000", "-c", "1", "-b", "8"}, {"120", "sine", "440", "vol", "0.3"});
    const std::string shortTone = Tone("short.wav", {"-r", "22050", "-c", "1", "-b", "16"}, {"0.3", "sine", "1000", "vol", "0.3"});

    ASSERT_EQ(player->PlaySound(longTone.c_str(), SND_ASYNC | SND_NODEFAULT), TRUE);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return IsPlaying(longTone); }, 10000));
    ASSERT_EQ(player->PlaySound(shortTone.c_str(), SND_ASYNC | SND_NODEFAULT), TRUE);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return !IsPlaying(longTone); }, 10000));
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Playing().empty(); }, 10000));

    ASSERT_EQ(player->PlaySound(longTone.c_str(), SND_ASYNC | SND_NODEFAULT), TRUE);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return IsPlaying(longTone); }, 10000));
    EXPECT_EQ(player->PlaySound(nullptr, SND_ASYNC), TRUE);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Playing().empty(); }, 10000));

    // A file that cannot be played still ends the sound before it.
    ASSERT_EQ(player->PlaySound(longTone.c_str(), SND_ASYNC | SND_NODEFAULT), TRUE);
    ASSERT_TRUE(TestSupport::WaitFor([&] { return IsPlaying(longTone); }, 10000));
    EXPECT_EQ(player->PlaySound(dir.File("missing.wav").c_str(), SND_ASYNC | SND_NODEFAULT), FALSE);
    EXPECT_TRUE(TestSupport::WaitFor([&] { return Playing().empty(); }, 10000));
}

TEST_F(SoundBackend, WithoutAsyncTheCallReturnsWhenTheSoundHasEnded) {
    const std::string tone = Tone("tone.wav", {"-r", "44100", "-c", "1", "-b", "16"}, {"0.4", "sine", "660", "vol", "0.5"});
    StartRecording();
    EXPECT_EQ(player->PlaySound(tone.c_str(), SND_SYNC | SND_NODEFAULT), TRUE);
    EXPECT_TRUE(Playing().empty());
    EXPECT_GT(StopRecording(0.2), 0.2);
}

}  // namespace
