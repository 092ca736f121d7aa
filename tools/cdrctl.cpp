#include "tools/cdrctl.h"

#include <exception>

#include "platform/messaging/recorder_client.h"
#include "tools/cdrctl_usage.h"
#include "tools/outbox_command.h"
#include "tools/show_command.h"
#include "tools/status.h"

namespace {

// Runs "outbox" or "outbox retry".
int RunOutboxCommand(const CdrctlCommand& command, FILE* out, FILE* err) {
    std::string folder;
    try {
        folder = OutboxFolder(command.outbox);
    } catch (const std::exception& e) {
        fprintf(err, "cdrctl: %s\n", e.what());
        return 1;
    }
    return command.action == CdrctlAction::kOutbox ? ListOutbox(folder, out, err)
                                                   : WakeOutbox(folder, out, err);
}

void PrintAnswer(const WireMessage& answer, FILE* out) {
    switch (answer.kind) {
        case MessageKind::kClearAnswer:
            fprintf(out, "clear %d: answered\n", answer.mask);
            break;
        case MessageKind::kFlushAnswer:
            fprintf(out, "flush %d: answered\n", answer.mask);
            break;
        default:
            fprintf(out, "reload-settings: answered\n");
            break;
    }
}

}  // namespace

int RunCdrctl(const std::vector<std::string>& args, FILE* out, FILE* err) {
    CdrctlCommand command;
    std::string error;
    if (!ParseCdrctlArguments(args, &command, &error)) {
        fprintf(err, "cdrctl: %s\n", error.c_str());
        return 2;
    }
    if (command.help) {
        fputs(CdrctlUsage().c_str(), out);
        return 0;
    }
    if (command.action == CdrctlAction::kShow) return ShowRecords(command, out, err);
    if (command.action == CdrctlAction::kStatus)
        return PrintRecorderStatus(command.format == RecordFormat::kJson, out);
    if (command.action == CdrctlAction::kOutbox || command.action == CdrctlAction::kRetry)
        return RunOutboxCommand(command, out, err);
    RecorderClient client(command.timeoutMillis);
    MessageKind answerKind;
    ClientStatus status = ClientStatus::kDone;
    if (RecorderClient::AnswerKindOf(command.message.kind, &answerKind)) {
        WireMessage answer;
        status = client.Ask(command.message, &answer);
        if (status == ClientStatus::kDone) PrintAnswer(answer, out);
    } else {
        for (int i = 0; i < command.repeat && status == ClientStatus::kDone; ++i)
            status = client.Post(command.message);
    }
    if (!client.fitted().empty())
        fprintf(err, "cdrctl: warning: texts fitted before sending: %s\n", client.fitted().c_str());
    if (status == ClientStatus::kDone) return 0;
    fprintf(err, "cdrctl: %s\n", client.error().c_str());
    return status == ClientStatus::kInvalid ? 2 : 1;
}
