// The user interface: message boxes answered from a script, shell notifications.
#include "support/sim_state.h"

namespace dismora::sim {

namespace {

// The buttons a message box style shows, in order; the default button is picked by index.
std::vector<int> Buttons(win::UINT style) {
    switch (style & 0xF) {
        case 0x1: return {win::IDOK, win::IDCANCEL};
        case 0x2: return {3, 4, 5};                             // abort, retry, ignore
        case 0x3: return {win::IDYES, win::IDNO, win::IDCANCEL};
        case 0x4: return {win::IDYES, win::IDNO};
        case 0x5: return {4, win::IDCANCEL};                    // retry, cancel
        case 0x6: return {win::IDCANCEL, 10, 11};               // cancel, try again, continue
        default: return {win::IDOK};
    }
}

}  // namespace

namespace detail {

void InitUserInterface(State& s) {
    s.default_answer = kDefaultButton;
    s.answers.clear();
}

}  // namespace detail

void Machine::QueueAnswers(std::initializer_list<int> answers) {
    state_->answers.insert(state_->answers.end(), answers.begin(), answers.end());
}

void Machine::SetDefaultAnswer(int answer) { state_->default_answer = answer; }

bool Machine::AnswersConsumed() const { return state_->answers.empty(); }

const std::vector<MessageBoxRecord>& Machine::MessageBoxes() const { return state_->message_boxes; }

const std::vector<NotifyRecord>& Machine::Notifications() const { return state_->notifications; }

}  // namespace dismora::sim

namespace win {

namespace sd = dismora::sim::detail;

int MessageBoxW(HWND hWnd, const WCHAR* lpText, const WCHAR* lpCaption, UINT uType) {
    auto& s = sd::Current();
    if (auto fault = sd::Enter(s, "MessageBoxW", sd::FromC(lpText))) {
        s.SetError(*fault);
        return 0;
    }
    dismora::sim::MessageBoxRecord box;
    box.pid = s.Current().record.pid;
    box.owner = hWnd;
    box.text = sd::FromC(lpText);
    box.caption = lpCaption ? std::u16string(lpCaption) : u"Error";  // Windows' caption for NULL
    box.style = uType;
    const std::vector<int> buttons = dismora::sim::Buttons(uType);
    int answer = s.default_answer;
    if (!s.answers.empty()) {
        answer = s.answers.front();
        s.answers.pop_front();
    }
    if (answer == dismora::sim::kDefaultButton) {
        const std::size_t index = (uType >> 8) & 0xF;
        answer = index < buttons.size() ? buttons[index] : buttons[0];
    }
    bool offered = answer == 0;  // 0: the box could not be shown
    for (int b : buttons) offered = offered || b == answer;
    if (!offered) {
        s.Violation("message box \"" + dismora::sim::Narrow(box.text) + "\" answered with " + std::to_string(answer) +
                    ", a button it does not have");
    }
    box.answer = answer;
    s.message_boxes.push_back(box);
    return answer;
}

void SHChangeNotify(LONG wEventId, UINT uFlags, const void* dwItem1, const void* dwItem2) {
    auto& s = sd::Current();
    if (sd::Enter(s, "SHChangeNotify")) return;
    s.notifications.push_back({s.Current().record.pid, wEventId, uFlags, dwItem1, dwItem2});
}

}  // namespace win
