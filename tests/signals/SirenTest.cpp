// The siren's table reading and matching, against the sound test double.
#include "signals/Siren.h"

#include "platform/Sound.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

class SirenTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = SetSoundHost(&sound);
        siren.IniPath = dir.File("Vesk.ini");
    }
    void TearDown() override { SetSoundHost(previous_); }

    void Ini(const std::string& siren) {
        TestSupport::WriteFile(dir.File("Vesk.ini"),
                               "[Global Parameters]\r\nInterval=5\r\n[Siren]\r\n" + siren + "[Account1]\r\nServer=x\r\n");
    }

    TestSupport::TempDir dir;
    TFakeSoundHost sound;
    TSiren siren;

private:
    TSoundHost* previous_ = nullptr;
};

TEST_F(SirenTest, WithoutFileOrSectionTheTableHoldsOnlyEmptyPositionZeroAndNothingPlays) {
    EXPECT_FALSE(siren.Play("From: anyone\n"));
    EXPECT_EQ(siren.Targets, Names{""});
    EXPECT_EQ(siren.Songs, Names{""});

    TestSupport::WriteFile(siren.IniPath, "[Global Parameters]\r\nInterval=5\r\n");
    EXPECT_FALSE(siren.Play("From: anyone\n"));
    EXPECT_EQ(siren.Targets, Names{""});
    EXPECT_EQ(siren.Songs, Names{""});
    EXPECT_TRUE(sound.Calls.empty());
}

TEST_F(SirenTest, MatchingIsCaseSensitiveAndAMissPlaysTheFallbackAsynchronously) {
    Ini("Song0=/snd/any.wav\r\nTarget1=taro\r\nSong1=/snd/taro.wav\r\n");
    EXPECT_FALSE(siren.Play(" Taro Yamada <Taro@example.jp>\n"));
    EXPECT_EQ(sound.Played(), Names{"/snd/any.wav"});
    ASSERT_EQ(sound.Calls.size(), 1u);
    EXPECT_EQ(sound.Calls[0].flags, 3u);

    EXPECT_TRUE(siren.Play(" taro <taro@example.jp>\n"));
    EXPECT_EQ(sound.Played(), (Names{"/snd/any.wav", "/snd/taro.wav"}));
    EXPECT_EQ(sound.Calls[1].flags, 3u);
}

TEST_F(SirenTest, FirstMatchingTargetWinsWhereverItStandsInTheText) {
    Ini("Song0=any.wav\r\nTarget1=boss@\r\nSong1=boss.wav\r\nTarget2=news@\r\nSong2=news.wav\r\n");
    EXPECT_TRUE(siren.Play(" news@example.com\n boss@example.com\n"));
    EXPECT_EQ(sound.Played(), Names{"boss.wav"});
    EXPECT_TRUE(siren.Play(" news@example.com\n"));
    EXPECT_EQ(sound.Played(), (Names{"boss.wav", "news.wav"}));
}

TEST_F(SirenTest, EmptyTarget1WithASongEndsTheTableAndNeverMatches) {
    Ini("Song0=any.wav\r\nTarget1=\r\nSong1=one.wav\r\nTarget2=two@\r\nSong2=two.wav\r\n");
    EXPECT_FALSE(siren.Play(" two@example.com\n"));
    EXPECT_EQ(siren.Targets, (Names{"", ""}));
    EXPECT_EQ(siren.Songs, (Names{"any.wav", "one.wav"}));
    EXPECT_EQ(sound.Played(), Names{"any.wav"});
}

TEST_F(SirenTest, MatchWithAnEmptySongPlaysNothingAndSuppressesTheFallback) {
    Ini("Song0=any.wav\r\nTarget1=quiet@\r\nSong1=\r\nTarget2=loud@\r\nSong2=loud.wav\r\n");
    EXPECT_TRUE(siren.Play(" quiet@example.com\n loud@example.com\n"));
    EXPECT_EQ(siren.Targets, (Names{"", "quiet@"}));
    EXPECT_EQ(siren.Songs, (Names{"any.wav", ""}));
    // The empty name is handed on; the fallback is not played.
    EXPECT_EQ(sound.Played(), Names{""});
}

TEST_F(SirenTest, TableEndsAtTheFirstNumberWithNeitherTargetNorSong) {
    Ini("Target1=a\r\nSong1=a.wav\r\nTarget2=b\r\nSong2=b.wav\r\nTarget3=c\r\nSong3=c.wav\r\n"
        "Target5=e\r\nSong5=e.wav\r\n");
    EXPECT_FALSE(siren.Play("e"));
    EXPECT_EQ(siren.Targets, (Names{"", "a", "b", "c"}));
    EXPECT_EQ(siren.Songs, (Names{"", "a.wav", "b.wav", "c.wav"}));
    // No match and no fallback song: nothing at all is played.
    EXPECT_TRUE(sound.Calls.empty());
}

TEST_F(SirenTest, AtMostFiveNumberedTargetsAreRead) {
    std::string ini = "Song0=any.wav\r\n";
    for (int n = 1; n <= 6; ++n) ini += "Target" + std::to_string(n) + "=t" + std::to_string(n) + "\r\nSong" +
                                        std::to_string(n) + "=s" + std::to_string(n) + ".wav\r\n";
    Ini(ini);
    EXPECT_FALSE(siren.Play(" t6\n"));
    EXPECT_EQ(siren.Targets, (Names{"", "t1", "t2", "t3", "t4", "t5"}));
    EXPECT_EQ(sound.Played(), Names{"any.wav"});
    EXPECT_TRUE(siren.Play(" t5\n"));
    EXPECT_EQ(sound.Played().back(), "s5.wav");
}

TEST_F(SirenTest, Target0IsNeverCompared) {
    Ini("Target0=zero@\r\nSong0=any.wav\r\nTarget1=one@\r\nSong1=one.wav\r\n");
    EXPECT_FALSE(siren.Play(" zero@example.com\n"));
    EXPECT_EQ(siren.Targets, (Names{"zero@", "one@"}));
    EXPECT_EQ(sound.Played(), Names{"any.wav"});
}

TEST_F(SirenTest, HeaderValuesMatchAsSentWithoutDecodingEncodedWords) {
    // "テスト" as an ISO-2022-JP encoded word, and the same name in UTF-8.
    const std::string from = " =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= <test@example.jp>\n";
    Ini("Song0=any.wav\r\nTarget1=\xE3\x83\x86\xE3\x82\xB9\xE3\x83\x88\r\nSong1=name.wav\r\n"
        "Target2==?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=\r\nSong2=encoded.wav\r\n");
    EXPECT_TRUE(siren.Play(from));
    EXPECT_EQ(sound.Played(), Names{"encoded.wav"});

    Ini("Song0=any.wav\r\nTarget1=test@example.jp\r\nSong1=address.wav\r\n");
    EXPECT_TRUE(siren.Play(from));
    EXPECT_EQ(sound.Played().back(), "address.wav");
}

TEST_F(SirenTest, TableIsReadAfreshOnEveryPlay) {
    Ini("Song0=any.wav\r\nTarget1=a@\r\nSong1=first.wav\r\n");
    EXPECT_TRUE(siren.Play(" a@example.com\n"));
    Ini("Song0=any.wav\r\nTarget1=a@\r\nSong1=second.wav\r\n");
    EXPECT_TRUE(siren.Play(" a@example.com\n"));
    EXPECT_EQ(sound.Played(), (Names{"first.wav", "second.wav"}));
    std::remove(siren.IniPath.c_str());
    EXPECT_FALSE(siren.Play(" a@example.com\n"));
    EXPECT_EQ(siren.Targets, Names{""});
    EXPECT_EQ(sound.Calls.size(), 2u);
}

}  // namespace
