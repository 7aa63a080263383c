// Whatever the tool prints, as a batch's JSON answer or a single run's text,
// or its background process replies on the kept connection: it is read into
// answers, texts and outcomes without ever ending the companion, and a
// batch's answers are the objects it held, in order.

#include "FuzzSupport.h"

#include "driver/ToolBatch.h"
#include "driver/ToolRequests.h"
#include "driver/ToolRun.h"
#include "driver/WorkTab.h"

#include <QJsonArray>
#include <QJsonDocument>

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString output = fuzz::utf8Text(data, size);
    if (const std::optional<QStringList> answers = batchAnswers(output)) {
        fuzz::require(answers->size() == QJsonDocument::fromJson(output.trimmed().toUtf8()).array().size(),
                      "one answer a command");
        for (const QString &answer : *answers) {
            fuzz::require(QJsonDocument::fromJson(answer.toUtf8()).isObject(), "each answer is an object");
            answerText(answer);
        }
    }
    if (const std::optional<QString> answer = singleAnswer(output))
        fuzz::require(QJsonDocument::fromJson(answer->toUtf8()).isObject(), "a single answer is an object");
    for (const OutputReading reading :
         {OutputReading::open, OutputReading::action, OutputReading::snapshot, OutputReading::pageAfterAction,
          OutputReading::command, OutputReading::tabSwitch, OutputReading::data}) {
        const ToolRun run = finishedRun(output, reading);
        fuzz::require(run.outcome != ToolOutcome::busy && run.outcome != ToolOutcome::missingTool,
                      "a finished run ran");
    }
    // A reply, as the kept runner admits one: a JSON object.
    if (QJsonDocument::fromJson(output.toUtf8()).isObject()) {
        fuzz::require(QJsonDocument::fromJson(replyAnswer(output).toUtf8()).isObject(),
                      "a reply's answer is an object");
        for (const char *action : {"navigate", "tab_list", "tab_switch", "tab_new", "tab_close", "snapshot", "evaluate",
                                   "screenshot", "dialog", "click"})
            replyText(QLatin1String(action), output);
    }
    // A listing, also one without target ids, lists and selects safely.
    if (const std::optional<QList<ListedTab>> tabs = listedTabs(output)) {
        WorkTabMemory memory;
        workTabs(memory, *tabs);
    }
    return 0;
}
