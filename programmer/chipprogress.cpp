#include "chipprogress.h"

namespace {
class NoProgress : public ChipProgress
{
public:
    void started(ChipActivity, qulonglong) override {}
    void advanced(ChipActivity, qulonglong, qulonglong) override {}
    void reset() override {}
    void eraseSent() override {}
    void erasePolled() override {}
};
} // namespace

ChipProgress &ChipProgress::none()
{
    static NoProgress progress;
    return progress;
}
