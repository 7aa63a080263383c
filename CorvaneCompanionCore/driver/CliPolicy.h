#pragma once

// What a typed tool command may do: act on the web page in the work tab,
// nothing more. An assistant can be talked into any command by a page, and
// the chat service's jobs carry whatever it sends; so commands that read or
// write local files, reach the browser's cookies or storage, reroute its
// traffic, or manage the tool itself are refused before anything runs.

#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

// The one folder files are uploaded from (created private to the user).
QString exchangeFolder();

struct CheckedCommand {
    // The command as it may run (an upload's files as full paths); none
    // when it is refused.
    std::optional<QStringList> args;
    QString refusal;
};

CheckedCommand checkCliCommand(const QStringList &args);

// The refusal of a command that does more than act on the page.
QString cliNotAllowedText();
// "upload takes files in <folder> only."
QString uploadOutsideText();

} // namespace corvane
