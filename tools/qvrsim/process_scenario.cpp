/*
 * process_scenario.cpp
 *
 * Processes, policies and the intercept flags the driver derives from them, as the
 * simulator shows them.
 */
#include "process_scenario.h"

#include "driver/policy/process_table.h"

#include <ostream>

namespace qvr::sim {
namespace {

std::string Narrow(const std::u16string &text)
{
    std::string narrow;
    for (char16_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::u16string FileName(const std::u16string &path)
{
    std::size_t separator = path.find_last_of(u"\\/");
    return separator == std::u16string::npos ? path : path.substr(separator + 1);
}

std::string Describe(const agent::ProcessPolicy &policy)
{
    std::string names;
    for (const std::u16string &name : policy.names) {
        names += (names.empty() ? "" : ", ") + Narrow(name);
    }
    return policy.interceptListed ? "intercept only " + names : "intercept everything except " + names;
}

}  // namespace

std::vector<std::u16string> ScenarioImages()
{
    return {
        u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe",
        u"\\Device\\HarddiskVolume2\\Program Files\\WebBrowser\\webbrowser.exe",
        u"\\Device\\HarddiskVolume2\\Program Files\\OtherBrowser\\otherbrowser.exe",
        u"\\Device\\HarddiskVolume2\\Program Files\\Mail\\mailclient.exe",
        u"\\Device\\HarddiskVolume2\\Tools\\editor.exe",
        u"\\Device\\HarddiskVolume2\\Program Files\\Updater\\updater.exe",
    };
}

std::vector<ProcessView> ViewProcesses(const std::vector<winsim::processes::ProcessId> &ids)
{
    std::vector<ProcessView> views;
    for (winsim::processes::ProcessId id : ids) {
        BOOLEAN intercept = FALSE;
        (void)QueryProcessIntercept(id, &intercept);
        views.push_back({id, winsim::processes::ImagePath(id).value_or(u"(ended)"), intercept != FALSE});
    }
    return views;
}

void PrintProcesses(std::ostream &out, const std::string &heading, const std::vector<ProcessView> &views)
{
    out << heading << "\n";
    for (const ProcessView &view : views) {
        std::string name = Narrow(FileName(view.imagePath));
        out << "  pid " << view.id << "  " << name << std::string(name.size() < 18 ? 18 - name.size() : 1, ' ')
            << (view.intercepted ? "intercepted    " : "not intercepted") << "  " << Narrow(view.imagePath) << "\n";
    }
}

NTSTATUS RunProcessPolicyScenario(agent::AgentService &service, std::ostream &out,
                                  std::vector<std::vector<ProcessView>> *views)
{
    std::vector<winsim::processes::ProcessId> ids;
    for (const std::u16string &image : ScenarioImages()) {
        ids.push_back(winsim::processes::Start(image));
    }

    const agent::ProcessPolicy browsersOnly{true, {u"webbrowser.exe", u"otherbrowser.exe"}};
    NTSTATUS status = service.SetProcessRules(browsersOnly);
    out << "Process policy: " << Describe(browsersOnly) << " -> " << agent::StatusText(status) << "\n";
    if (NT_SUCCESS(status)) {
        std::vector<ProcessView> first = ViewProcesses(ids);
        PrintProcesses(out, "Processes:", first);
        if (views != nullptr) {
            views->push_back(first);
        }

        const agent::ProcessPolicy allButMail{false, {u"mailclient.exe", u"updater.exe"}};
        status = service.SetProcessRules(allButMail);
        out << "Process policy: " << Describe(allButMail) << " -> " << agent::StatusText(status) << "\n";
        ids.push_back(winsim::processes::Start(u"\\Device\\HarddiskVolume2\\Tools\\terminal.exe"));
        if (NT_SUCCESS(status)) {
            std::vector<ProcessView> second = ViewProcesses(ids);
            PrintProcesses(out, "Processes (one started after the change):", second);
            if (views != nullptr) {
                views->push_back(second);
            }
        }
    }
    for (winsim::processes::ProcessId id : ids) {
        winsim::processes::End(id);
    }
    return status;
}

}  // namespace qvr::sim
