#include "SWChiSquareScore.h"

#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// A number of a property list: integers and reals are accepted, booleans not.
bool numberValue(const QVariant& value, double* out) {
    switch (value.typeId()) {
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::UInt:
    case QMetaType::ULongLong:
        *out = value.toDouble();
        return std::isfinite(*out);
    default:
        return false;
    }
}

}  // namespace

SWChiSquareSettings SWChiSquareSettings::fromDictionary(const QVariantMap& settings, QStringList* problems) {
    SWChiSquareSettings result;
    auto take = [&](const char* key, double low, double high, bool lowOpen, auto apply) {
        const QVariant value = settings.value(QLatin1String(key));
        if (!value.isValid())
            return;
        double number = 0;
        if (!numberValue(value, &number) || number > high || number < low || (lowOpen && number == low)) {
            if (problems)
                *problems << QStringLiteral("\"%1\" must be a number %2 %3 and %4; the default is kept")
                                 .arg(QLatin1String(key), QLatin1String(lowOpen ? "above" : "from"))
                                 .arg(low)
                                 .arg(high);
            return;
        }
        apply(number);
    };
    double spamCutoff = result.spamCutoff, hamCutoff = result.hamCutoff;
    take(SWChiSquareSpamCutoffKey, 0.0, 1.0, true, [&](double v) { spamCutoff = v; });
    take(SWChiSquareHamCutoffKey, 0.0, 1.0, false, [&](double v) { hamCutoff = v; });
    if (hamCutoff < spamCutoff) {
        result.spamCutoff = spamCutoff;
        result.hamCutoff = hamCutoff;
    } else if (problems) {
        *problems << QStringLiteral("\"%1\" (%2) must be below \"%3\" (%4); the default cutoffs are kept")
                         .arg(QLatin1String(SWChiSquareHamCutoffKey))
                         .arg(hamCutoff)
                         .arg(QLatin1String(SWChiSquareSpamCutoffKey))
                         .arg(spamCutoff);
    }
    take(SWChiSquareStrengthKey, 0.0, 100.0, true, [&](double v) { result.strength = v; });
    take(SWChiSquareUnknownProbabilityKey, 0.0, 1.0, true, [&](double v) {
        if (v < 1.0)
            result.unknownProbability = v;
    });
    take(SWChiSquareMinimumDeviationKey, 0.0, 0.49, false, [&](double v) { result.minimumDeviation = v; });
    take(SWChiSquareMaximumCluesKey, 1, 100000, false, [&](double v) { result.maximumClues = int(v); });
    take(SWChiSquareMinimumLearnedKey, 0, 1e9, false, [&](double v) { result.minimumLearned = int(v); });
    return result;
}

QVariantMap SWChiSquareSettings::toDictionary() const {
    return {{QLatin1String(SWChiSquareSpamCutoffKey), spamCutoff},
            {QLatin1String(SWChiSquareHamCutoffKey), hamCutoff},
            {QLatin1String(SWChiSquareStrengthKey), strength},
            {QLatin1String(SWChiSquareUnknownProbabilityKey), unknownProbability},
            {QLatin1String(SWChiSquareMinimumDeviationKey), minimumDeviation},
            {QLatin1String(SWChiSquareMaximumCluesKey), qint64(maximumClues)},
            {QLatin1String(SWChiSquareMinimumLearnedKey), qint64(minimumLearned)}};
}

double SWChiSquareScore::tokenProbability(const SWChiSquareCounts& counts, uint64_t spamTotal, uint64_t hamTotal,
                                          const SWChiSquareSettings& settings) {
    // Counts above the totals (a store edited by hand, totals taken back) are capped.
    const double spam = std::min<double>(counts.spam, double(spamTotal));
    const double ham = std::min<double>(counts.ham, double(hamTotal));
    const double n = spam + ham;
    if (n <= 0)
        return settings.unknownProbability;
    const double spamRatio = spamTotal ? spam / double(spamTotal) : 0.0;
    const double hamRatio = hamTotal ? ham / double(hamTotal) : 0.0;
    const double p = spamRatio + hamRatio > 0 ? spamRatio / (spamRatio + hamRatio) : settings.unknownProbability;
    const double s = settings.strength;
    return (s * settings.unknownProbability + n * p) / (s + n);
}

double SWChiSquareScore::chi2Q(double x2, int degrees) {
    // Closed form for even degrees: e^-m * sum_{i<v/2} m^i / i!. The factor
    // e^-m is kept aside as a logarithm while the sum is scaled down now and
    // then: e^-m alone underflows to 0 beyond m ~ 745, which for a message of
    // several hundred clues is near the middle of the distribution, not its tail.
    const double m = x2 / 2.0;
    if (!(m > 0))
        return 1.0;
    if (m > 1e28)  // beyond any number of degrees the settings allow
        return 0.0;
    constexpr double kScale = 1e-280, kLogScale = -644.7238260383328;  // ln(1e-280)
    double logFactor = -m;
    double term = 1, sum = 1;
    for (int i = 1; i < degrees / 2; ++i) {
        term *= m / double(i);
        sum += term;
        if (sum > 1e280) {
            term *= kScale;
            sum *= kScale;
            logFactor -= kLogScale;
        }
    }
    return std::min(std::exp(std::log(sum) + logFactor), 1.0);
}

namespace {

QString tokenString(const std::vector<QString>& tokens, size_t i) { return tokens[i]; }
QString tokenString(const SWChiSquareTokenList& tokens, size_t i) { return tokens[i].toString(); }

template <typename Tokens>
SWChiSquareResult scoreOf(const Tokens& tokens, const std::vector<SWChiSquareCounts>& counts, uint64_t spamTotal,
                          uint64_t hamTotal, const SWChiSquareSettings& settings) {
    // The tokens far enough from 0.5, as (strength, probability, index): chosen
    // and sorted without touching the strings but to break a tie.
    struct Candidate {
        double strength, probability;
        uint32_t index;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(std::min(tokens.size(), counts.size()));
    for (size_t i = 0; i < tokens.size() && i < counts.size(); ++i) {
        const double p = SWChiSquareScore::tokenProbability(counts[i], spamTotal, hamTotal, settings);
        const double strength = std::fabs(p - 0.5);
        if (strength >= settings.minimumDeviation)
            candidates.push_back({strength, p, uint32_t(i)});
    }
    // Strongest first; ties by token, so the choice does not depend on order.
    const auto stronger = [&tokens](const Candidate& a, const Candidate& b) {
        return a.strength != b.strength ? a.strength > b.strength : tokens[a.index] < tokens[b.index];
    };
    const size_t kept = std::min(candidates.size(), size_t(settings.maximumClues));
    if (kept < candidates.size())
        std::nth_element(candidates.begin(), candidates.begin() + std::ptrdiff_t(kept), candidates.end(), stronger);
    candidates.resize(kept);
    std::sort(candidates.begin(), candidates.end(), stronger);

    SWChiSquareResult result;
    if (candidates.empty())
        return result;
    // Products kept in range by moving their exponents aside: the plain
    // products underflow for long messages, a logarithm per factor is slow.
    double spamProduct = 1, hamProduct = 1;
    int spamExponent = 0, hamExponent = 0;
    result.clues.reserve(kept);
    for (const Candidate& c : candidates) {
        const double p = std::clamp(c.probability, 1e-12, 1.0 - 1e-12);
        spamProduct *= p;
        hamProduct *= 1.0 - p;
        if (spamProduct < 1e-200) {
            int e = 0;
            spamProduct = std::frexp(spamProduct, &e);
            spamExponent += e;
        }
        if (hamProduct < 1e-200) {
            int e = 0;
            hamProduct = std::frexp(hamProduct, &e);
            hamExponent += e;
        }
        result.clues.push_back({tokenString(tokens, c.index), c.probability, counts[c.index]});
    }
    const double lnSpam = std::log(spamProduct) + spamExponent * M_LN2;
    const double lnHam = std::log(hamProduct) + hamExponent * M_LN2;
    const int degrees = 2 * int(kept);
    const double spamminess = 1.0 - SWChiSquareScore::chi2Q(-2.0 * lnHam, degrees);  // evidence for spam
    const double hamminess = 1.0 - SWChiSquareScore::chi2Q(-2.0 * lnSpam, degrees);  // evidence for good mail
    result.score = std::clamp((1.0 + spamminess - hamminess) / 2.0, 0.0, 1.0);
    return result;
}

}  // namespace

SWChiSquareResult SWChiSquareScore::score(const std::vector<QString>& tokens,
                                          const std::vector<SWChiSquareCounts>& counts, uint64_t spamTotal,
                                          uint64_t hamTotal, const SWChiSquareSettings& settings) {
    return scoreOf(tokens, counts, spamTotal, hamTotal, settings);
}

SWChiSquareResult SWChiSquareScore::score(const SWChiSquareTokenList& tokens,
                                          const std::vector<SWChiSquareCounts>& counts, uint64_t spamTotal,
                                          uint64_t hamTotal, const SWChiSquareSettings& settings) {
    return scoreOf(tokens, counts, spamTotal, hamTotal, settings);
}
