// The local server before the driver: framing a request that arrives in
// pieces, parsing it and deciding what is refused. A request that carries a
// browser's marks must never be let through.

#include "FuzzSupport.h"

#include "server/LoopbackServer.h"
#include "wire/HttpMessage.h"

#include <QList>

#include <fuzzer/FuzzedDataProvider.h>

using namespace corvane;

namespace {

QByteArray withoutSpaces(QByteArray text)
{
    while (!text.isEmpty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove(0, 1);
    while (!text.isEmpty() && (text.back() == ' ' || text.back() == '\t'))
        text.chop(1);
    return text;
}

// The rule told independently of the server's code: a whole head with an
// Origin, or fetch metadata other than "none", comes from a web page.
bool headFromBrowser(const QByteArray &request)
{
    const qsizetype end = request.indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QList<QByteArray> lines = request.left(end).split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        if (lines.at(i - 1).endsWith('\r') == false)
            return false; // a bare LF somewhere: not a head a browser sends
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = withoutSpaces(line.left(colon)).toLower();
        const QByteArray value = withoutSpaces(line.mid(colon + 1));
        if (name == "origin" || (name == "sec-fetch-site" && value != "none"))
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const bool fromUser = input.ConsumeBool();
    RequestFraming framing;
    while (input.remaining_bytes() > 0 && !framing.tooLarge() && framing.state() != RequestFraming::State::complete) {
        const std::string piece = input.ConsumeRandomLengthString(512);
        framing.append(QByteArray(piece.data(), static_cast<qsizetype>(piece.size())));
    }
    fuzz::require(framing.bytes().size() <= requestHeadLimit + requestBodyLimit + 512, "bytes kept are bounded");

    const LoopbackRequest parsed = parseRequest(framing.bytes());
    const std::optional<Refusal> refused = refusalOf(framing, fromUser, parsed);
    if (!refused) {
        fuzz::require(fromUser && !framing.tooLarge(), "other users and oversized requests are refused");
        fuzz::require(!headFromBrowser(framing.bytes()), "a browser's request is refused");
    } else {
        const QByteArray reply = LoopbackServer::refusalBytes(*refused);
        fuzz::require(reply.startsWith("HTTP/1.1 4"), "a refusal is a client error");
    }
    return 0;
}
