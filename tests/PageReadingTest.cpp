// What the assistant reads after a step, through the real executable, the
// real tool and Chrome behind the gate: the tool's own settings files and
// variables change nothing; inline text keeps its spaces; what went away is
// said; answering a dialog and opening a page both settle like an action.

#include "driver/ActionWatch.h"

#include "GatedCompanion.h"
#include "LocalHttp.h"
#include "TempHome.h"

#include <gtest/gtest.h>

using namespace corvane;
using test::postJson;

namespace {

constexpr quint16 companion = test::GatedCompanion::port;

QMap<QByteArray, QByteArray> pages()
{
    QByteArray links;
    for (int i = 0; i < 20; ++i)
        links += "<a href=\"#" + QByteArray::number(i) + "\">Section " + QByteArray::number(i) + "</a>";
    return {
        {"/", "<!doctype html><title>Reading</title>" + links},
        {"/glued",
         "<!doctype html><title>Glued</title><p id=\"c\">3 <b>items</b> left</p>"
         "<button onclick=\"document.getElementById('c').innerHTML='<span>1</span> <b>item</b> "
         "left'\">Complete</button>"},
        {"/filter",
         "<!doctype html><title>Filter</title><ul><li>Buy milk</li><li class=\"done\">Walk the dog</li></ul>"
         "<button onclick=\"document.querySelectorAll('.done').forEach(e=>e.remove())\">Active</button>"},
        {"/dialog",
         "<!doctype html><title>Dialog</title><p id=\"s\">Ready</p>"
         "<button onclick=\"if(confirm('Delete "
         "it?'))setTimeout(()=>document.getElementById('s').textContent='Deleted.',250)\">"
         "Delete</button>"},
        // An application still drawing after its load, a part every 20 ms.
        {"/late",
         "<!doctype html><title>Late</title><script>addEventListener('load',()=>{let n=0;const t=setInterval(()=>{"
         "document.body.append('part '+n+' ');if(++n<15)return;clearInterval(t);const "
         "b=document.createElement('button');"
         "b.textContent='Appeared';document.body.append(b)},20)})</script>"},
    };
}

} // namespace

class PageReading : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The tool's own settings, where it would look for them: a project's
        // file with a key it refuses there and one it takes, a user's file,
        // and its variables.
        json = new test::ScopedEnv("AGENT_BROWSER_JSON", QStringLiteral("1"));
        maxOutput = new test::ScopedEnv("AGENT_BROWSER_MAX_OUTPUT", QStringLiteral("50"));
        stage = new test::GatedCompanion(pages(), {},
                                         {{"project/agent-browser.json", R"({"notAKey": 1, "maxOutput": 50})"},
                                          {".agent-browser/config.json", R"({"json": true, "maxOutput": 50})"}});
    }
    static void TearDownTestSuite()
    {
        delete stage;
        delete maxOutput;
        delete json;
    }

    void SetUp() override
    {
        ASSERT_TRUE(stage->ready()) << "the companion did not open its first page behind its gate";
    }

    static test::LocalReply open(const char *path)
    {
        return postJson(companion, "/open", {{"url", stage->page(path)}});
    }
    static test::LocalReply click(const QString &name)
    {
        return postJson(companion, "/click", {{"ref", test::refNamed(postJson(companion, "/snapshot").text(), name)}});
    }

    static inline test::ScopedEnv *json = nullptr;
    static inline test::ScopedEnv *maxOutput = nullptr;
    static inline test::GatedCompanion *stage = nullptr;
};

TEST_F(PageReading, TheToolsOwnSettingsChangeNothing)
{
    ASSERT_EQ(open("/").json().value("ok"), true);
    const QString snapshot = postJson(companion, "/snapshot").text();
    EXPECT_TRUE(snapshot.startsWith("- link \"Section 0\"")) << snapshot.toStdString();
    EXPECT_TRUE(snapshot.contains("Section 19")) << "not cut at 50 characters: " << snapshot.toStdString();
    EXPECT_EQ(postJson(companion, "/view").json().value("title"), QStringLiteral("Reading"));
}

TEST_F(PageReading, InlineTextKeepsItsSpacesAndWhatWentIsSaid)
{
    ASSERT_EQ(open("/glued").json().value("ok"), true);
    const QString completed = click("Complete").text();
    EXPECT_TRUE(completed.contains(changedTextHeading + "\n> 1 item left")) << completed.toStdString();
    EXPECT_TRUE(completed.contains(goneTextHeading + "\n> 3 items left")) << completed.toStdString();

    ASSERT_EQ(open("/filter").json().value("ok"), true);
    const QString filtered = click("Active").text();
    EXPECT_TRUE(filtered.contains(goneTextHeading + "\n> Walk the dog")) << filtered.toStdString();
    EXPECT_FALSE(filtered.contains(changedTextHeading)) << filtered.toStdString();
}

TEST_F(PageReading, AnsweringADialogSettlesLikeAnAction)
{
    ASSERT_EQ(open("/dialog").json().value("ok"), true);
    const test::LocalReply asked = click("Delete");
    EXPECT_EQ(asked.json().value("ok"), false);
    EXPECT_TRUE(asked.text().contains("confirm dialog")) << asked.body.toStdString();
    const test::LocalReply answered = postJson(companion, "/cli", {{"command", "dialog accept"}});
    EXPECT_EQ(answered.json().value("ok"), true) << answered.body.toStdString();
    EXPECT_TRUE(answered.text().startsWith("- button \"Delete\""))
        << "the page after the answer: " << answered.body.toStdString();
    // The page redraws a while after the answer, as applications do.
    EXPECT_TRUE(answered.text().contains(changedTextHeading + "\n> Deleted.")) << answered.body.toStdString();
}

TEST_F(PageReading, AnOpenSettlesBeforeItAnswers)
{
    ASSERT_EQ(open("/late").json().value("ok"), true);
    const QString snapshot = postJson(companion, "/snapshot").text();
    EXPECT_TRUE(snapshot.contains("button \"Appeared\""))
        << "drawn last, 300 ms after the load: " << snapshot.toStdString();
}
