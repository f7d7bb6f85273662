#include "PlaceComparison.h"

namespace tarnell::protocol {

const char* FieldName(int place, TPlaceField field)
{
    const bool reference = place == kReferencePlace;
    switch (field) {
    case TPlaceField::Grip:
        return reference ? "reference-drive position" : "grip position";
    case TPlaceField::Provision:
        return reference ? "force-compensation position" : "provision position";
    case TPlaceField::Force:
        break;
    }
    return "grip force";
}

const char* FieldKey(TPlaceField field)
{
    switch (field) {
    case TPlaceField::Grip:
        return "grip";
    case TPlaceField::Provision:
        return "provision";
    case TPlaceField::Force:
        break;
    }
    return "force";
}

const std::string& FieldText(const TPlaceTexts& texts, TPlaceField field)
{
    switch (field) {
    case TPlaceField::Grip:
        return texts.grip;
    case TPlaceField::Provision:
        return texts.provision;
    case TPlaceField::Force:
        break;
    }
    return texts.force;
}

bool SameValue(const std::string& a, const std::string& b)
{
    try {
        return StrToInt(a) == StrToInt(b);
    } catch (const EConvertError&) {
        return a == b;
    }
}

bool IsComplete(int place, const TPlaceTexts& texts)
{
    return !texts.grip.empty() && !texts.provision.empty() && (place == kReferencePlace || !texts.force.empty());
}

TComparison ComparePlaces(const TPlaces& expected, const TPlaces& actual)
{
    TComparison c;
    for (int n = 1; n <= kPlaceCount; ++n) {
        const TPlaceTexts& want = expected[static_cast<std::size_t>(n - 1)];
        const TPlaceTexts& got = actual[static_cast<std::size_t>(n - 1)];
        if (!IsComplete(n, want)) {
            c.skipped.push_back(n);
            continue;
        }
        c.compared.push_back(n);
        for (TPlaceField f : {TPlaceField::Grip, TPlaceField::Provision, TPlaceField::Force}) {
            if (f == TPlaceField::Force && n == kReferencePlace)
                continue;
            if (!SameValue(FieldText(want, f), FieldText(got, f)))
                c.differences.push_back({n, f, FieldText(want, f), FieldText(got, f)});
        }
    }
    return c;
}

std::string DescribeDifference(const TFieldDifference& d, const std::string& here)
{
    const std::string actual = d.actual.empty() ? "nothing" : d.actual;
    return "place " + std::to_string(d.place) + " " + FieldName(d.place, d.field) + ": " + d.expected + " in the " +
           here + ", " + actual + " in the gripper";
}

}  // namespace tarnell::protocol
