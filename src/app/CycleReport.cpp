#include "app/CycleReport.h"

namespace {

std::string MessagesText(int count) { return std::to_string(count) + (count == 1 ? " message" : " messages"); }

}  // namespace

std::vector<std::string> StatusLinesOf(const TCycleResult& Cycle, const std::string& Clock) {
    std::vector<std::string> lines;
    for (const TCycleAccount& a : Cycle.Checked) {
        if (a.Result.Ok)
            lines.push_back(a.Name + ": " + MessagesText(a.Result.Count));
        else
            lines.push_back(a.Name + ": " + CheckStepName(a.Result.FailedStep) + " failed: " + a.Result.Error +
                            (a.NextAttempt.empty() ? "" : " (next attempt " + a.NextAttempt + ")"));
    }
    lines.push_back("Last check: " + Clock);
    return lines;
}

std::string TrayTipOf(const std::vector<std::string>& StatusLines) {
    std::string tip = "Vesk";
    for (const std::string& line : StatusLines) tip += "\n" + line;
    return tip;
}

std::string NewMailNoticeOf(const TCycleResult& Cycle, bool WithFrom) {
    std::string body;
    for (const TCycleAccount& a : Cycle.Checked) {
        if (!a.Result.NewMail) continue;
        body += (body.empty() ? "" : "\n") + a.Name + ": " + MessagesText(a.Result.Count);
    }
    if (body.empty() || !WithFrom) return body;
    // The first From lines read (the newest message first).
    constexpr int kFromLines = 3;
    int shown = 0;
    for (std::size_t start = 0; shown < kFromLines && start < Cycle.FromLines.size();) {
        std::size_t end = Cycle.FromLines.find('\n', start);
        if (end == std::string::npos) end = Cycle.FromLines.size();
        const std::string from = Cycle.FromLines.substr(start, end - start);
        start = end + 1;
        const std::size_t first = from.find_first_not_of(" \t");
        if (first == std::string::npos) continue;  // a message without a From line
        body += "\nFrom: " + from.substr(first);
        ++shown;
    }
    return body;
}
