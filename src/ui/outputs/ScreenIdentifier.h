#pragma once

#include <QObject>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

namespace bw {

// "Identify screens": each connected screen shows its own name, large, in
// the middle, for a few seconds, so that an operator can tell which
// projector is which before choosing one for an output. The name panels
// never take the keyboard focus. Asking again while they are up starts the
// few seconds afresh.
//
// Main thread only.
class ScreenIdentifier final : public QObject {
    Q_OBJECT

public:
    static constexpr int kShownMilliseconds = 4000;

    explicit ScreenIdentifier(QObject* parent = nullptr);
    ~ScreenIdentifier() override;

    void identify();
    // The panels up now, one per screen (tests read their text).
    const std::vector<std::unique_ptr<QWidget>>& panels() const { return panels_; }

private:
    void hidePanels();

    std::vector<std::unique_ptr<QWidget>> panels_;
    QTimer timer_;
};

}  // namespace bw
