// The ファイル menu's commands on corrections: a settings file written and read back through the
// window, and the corrections given to other photos on a background thread.
#include <QDir>

#include <sys/wait.h>
#include <cstdlib>
#include <fstream>

#include "tests/app/window/DialogFixture.h"

namespace {

class CorrectionCommands : public DialogTest {
  protected:
    std::string Path(const char* name) const {
        return folder.filePath(QString::fromUtf8(name)).toStdString();
    }

    // Corrections with every kind of control moved, a spot pick and a turn among them.
    void Correct() {
        Trigger("右に90度回転(&R)");
        Release(dialog->brightnessSlider, 12);
        Release(dialog->addLightSlider, 30);
        QTest::mouseClick(dialog->bandButtons[4], Qt::LeftButton);
        Release(dialog->bandHueSlider, 700);
        Release(dialog->bandVividnessSlider, -15);
        Click("スポット");
        ASSERT_EQ(dialog->engine.PickSpotWhiteBalance(20, 10), 1);
        dialog->RequestPreview();
        Settle();
    }

    void Trigger(const char* text) {
        Action(text)->trigger();
        Settle();
    }

    int RunBatch(const std::string& args) {
        const int raw = std::system((std::string(LUMIVEX_BATCH_PATH) + " --quiet " + args).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }
};

TEST_F(CorrectionCommands, SettingsFileCarriesTheWindowsCorrectionsAndBack) {
    Show();
    OpenGradient();
    Correct();
    const std::vector<int32_t> corrected = Thumbs();
    const CorrectionSettings before = dialog->engine.Corrections();
    Settle();
    const QImage picture = Shown();

    prompts.answers.push_back(Path("shoot.lumivex"));
    Trigger("補正を書き出す(&E)...");
    EXPECT_EQ(prompts.requests.back().defaultExtension, std::string("lumivex"));
    Click("リセット");
    Settle();
    ASSERT_NE(Thumbs(), corrected);
    const CorrectionSettings reset = dialog->engine.Corrections();

    prompts.answers.push_back(Path("shoot.lumivex"));
    Trigger("補正を読み込む(&I)...");
    Settle();
    EXPECT_EQ(Thumbs(), corrected);
    EXPECT_TRUE(ButtonNamed("スポット")->isChecked());
    EXPECT_EQ(dialog->engine.Corrections(), before);
    EXPECT_EQ(Shown(), picture);
    EXPECT_TRUE(prompts.messages.empty());

    // A malformed file is refused naming the key, and changes nothing, not even the history.
    std::ofstream(Path("bad.lumivex"))
        << R"({"format": "lumivex-settings", "version": 1, "adjustments": {"brightness": 12},
              "bands": {"green": {"vivid": 99}}})";
    prompts.answers.push_back(Path("bad.lumivex"));
    Trigger("補正を読み込む(&I)...");
    Settle();
    ASSERT_EQ(prompts.messages.size(), 1u);
    EXPECT_EQ(prompts.messages[0].rfind("補正を読み込めませんでした\n\nbands.green.vivid: ", 0), 0u)
        << prompts.messages[0];
    EXPECT_NE(prompts.messages[0].find("整数でなければなりません"), std::string::npos);
    EXPECT_EQ(dialog->engine.Corrections(), before);

    // However many keys a file holds that this version does not know, ten are listed.
    std::string unknown;
    for (int k = 0; k < 12; ++k) unknown += ", \"x" + std::to_string(k) + "\": 1";
    std::ofstream(Path("later.lumivex"))
        << R"({"format": "lumivex-settings", "version": 1)" << unknown << "}";
    prompts.answers.push_back(Path("later.lumivex"));
    Trigger("補正を読み込む(&I)...");
    Settle();
    ASSERT_EQ(prompts.messages.size(), 2u);
    EXPECT_EQ(std::count(prompts.messages[1].begin(), prompts.messages[1].end(), '\n'), 12)
        << prompts.messages[1];
    EXPECT_NE(prompts.messages[1].find("\nx7\nほか 2 項目"), std::string::npos);  // sorted
    Trigger("元に戻す(&U)");

    // Reading the file is one step back.
    Trigger("元に戻す(&U)");
    Settle();
    EXPECT_EQ(dialog->engine.Corrections(), reset);
}

TEST_F(CorrectionCommands, ApplyToManySavesWhatTheBatchToolSavesAndReportsFailures) {
    Show();
    OpenGradient();
    Correct();
    const QImage second = Gradient(48, 40).mirrored(true, false);
    prompts.applyRequest.photos = {WritePhoto(Gradient(40, 30), "a.png"), Path("broken.jpg"),
                                   WritePhoto(second, "c.png")};
    std::ofstream(Path("broken.jpg")) << "not a photo";
    prompts.applyRequest.folder = Path("out");
    prompts.applyRequest.format = "png";
    Trigger("他の写真にも適用(&A)...");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !prompts.messages.empty(); }, 20000));
    EXPECT_NE(prompts.messages[0].find("2 枚"), std::string::npos) << prompts.messages[0];
    EXPECT_NE(prompts.messages[0].find(
                  "broken.jpg: 読み込めませんでした: 読み込める形式の写真ではありません"),
              std::string::npos)
        << prompts.messages[0];
    EXPECT_EQ(QDir(QString::fromStdString(Path("out"))).entryList(QDir::Files),
              (QStringList{"a.png", "c.png"}));

    prompts.answers.push_back(Path("window.lumivex"));
    Trigger("補正を書き出す(&E)...");
    ASSERT_EQ(RunBatch("--settings " + Path("window.lumivex") + " --format png --out-dir " +
                       Path("batch") + " " + Path("a.png") + " " + Path("c.png")),
              0);
    for (const char* name : {"a.png", "c.png"}) {
        const QImage window(QString::fromStdString(Path("out/") + name));
        const QImage batch(QString::fromStdString(Path("batch/") + name));
        ASSERT_FALSE(window.isNull());
        EXPECT_EQ(window, batch) << name;
        EXPECT_EQ(window.size(), QImage(QString::fromStdString(Path(name))).size().transposed());
    }

    // Outputs there already are replaced only when the user says so.
    std::ofstream(Path("out/a.png")) << "mine";
    for (bool replace : {false, true}) {
        prompts.messages.clear();
        prompts.replaceAnswer = replace;
        Trigger("他の写真にも適用(&A)...");
        ASSERT_EQ(prompts.replaceQuestions.size(), replace ? 2u : 1u);
        EXPECT_EQ(prompts.replaceQuestions.back().rfind("2 枚の写真の保存先に", 0), 0u);
        EXPECT_EQ(QTest::qWaitFor([&] { return !prompts.messages.empty(); }, replace ? 20000 : 300),
                  replace);
        const QImage a(QString::fromStdString(Path("out/a.png")));
        EXPECT_EQ(a, replace ? QImage(QString::fromStdString(Path("batch/a.png"))) : QImage());
    }
    EXPECT_NE(prompts.messages[0].find("2 枚の写真を保存しました"), std::string::npos);
}

}  // namespace
