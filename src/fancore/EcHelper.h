// The embedded controller's helper of one board: the fans' thermal weights and the list of fans
// that take part in EC control. One per board, created by the fan manager and shared by its fans.
#pragma once

#include <vector>

class EcFanControlManager;
class QuilFanControl;

class EcHelper {
public:
    explicit EcHelper(EcFanControlManager* manager) : m_manager(manager) {}
    virtual ~EcHelper() = default;
    EcHelper(const EcHelper&) = delete;
    EcHelper& operator=(const EcHelper&) = delete;

    // Slot 0: the weights record of one fan (fan number + 1 in word 0, the list rotated left by
    // two). Nothing while disabled.
    virtual void SendWeights(int fanNumber, const std::vector<int>& weights);
    // The weights of one fan of the manager's list again (its EC fan number and its weights).
    void ResendWeights(QuilFanControl* fan);
    // One word per fan taking part, in the manager's order; sent even while disabled.
    void SendEnableList();

    unsigned char m_disabled = 0;
    unsigned char m_allFans = 0;

protected:
    EcFanControlManager* m_manager;  // not owned
};

// Newer boards: the fan number itself in word 0 and the weights in their own order.
class NewEcHelper : public EcHelper {
public:
    using EcHelper::EcHelper;
    void SendWeights(int fanNumber, const std::vector<int>& weights) override;
};
