#include "Brivane/render/StageCost.h"

#include <ctime>

namespace brivane {

namespace {

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

std::map<StageCost::Key, StageCost::Total>& ledger() {
    static std::map<StageCost::Key, StageCost::Total> totals;
    return totals;
}

} // namespace

StageCost::Measure::Measure(const char* stage, std::string detail)
    : stage_(stage), detail_(std::move(detail)), start_(processSeconds()) {}

StageCost::Measure::~Measure() {
    Total& total = ledger()[{stage_, std::move(detail_)}];
    ++total.count;
    total.seconds += processSeconds() - start_;
}

std::string StageCost::size(int pixelWidth, int pixelHeight) {
    return std::to_string(pixelWidth) + "x" + std::to_string(pixelHeight);
}

const std::map<StageCost::Key, StageCost::Total>& StageCost::totals() {
    return ledger();
}

void StageCost::reset() {
    ledger().clear();
}

} // namespace brivane
