// Comparing storage places: what a parameter file or the window's grids hold
// against what a gripper read back. The console's Verify and tarnell-cli's
// verify and store compare through this one module, so that both call the
// same cells equal and name a difference alike.
#pragma once

#include "ParameterFileFormat.h"

#include <string>
#include <vector>

namespace tarnell::protocol {

enum class TPlaceField { Grip, Provision, Force };

// The field's name for a place: "grip position", "provision position",
// "grip force"; for place 8 "reference-drive position" and
// "force-compensation position".
const char* FieldName(int place, TPlaceField field);
// The field's short key, as JSON names it: "grip", "provision", "force".
const char* FieldKey(TPlaceField field);
// The text of one field of a place.
const std::string& FieldText(const TPlaceTexts& texts, TPlaceField field);

// Equal as numbers where both are numbers ("0250" is what a gripper reads
// back as "250"), else as texts.
bool SameValue(const std::string& a, const std::string& b);

// Whether a place has every cell that a Send writes: grip, provision and,
// for places 1..7, force. Only such a place is sent, and only such a place
// is compared.
bool IsComplete(int place, const TPlaceTexts& texts);

struct TFieldDifference {
    int place = 0;
    TPlaceField field = TPlaceField::Grip;
    std::string expected;  // the file's or the grid's text
    std::string actual;    // the gripper's
};

struct TComparison {
    std::vector<int> compared;  // the complete places, in order
    std::vector<int> skipped;   // places with an empty cell: not compared
    std::vector<TFieldDifference> differences;
    bool Matches() const { return differences.empty(); }
};

// Compares every complete place of expected with the same place of actual,
// field by field (place 8 has no force).
TComparison ComparePlaces(const TPlaces& expected, const TPlaces& actual);

// "place 2 grip force: 15 here, 20 in the gripper" for one difference;
// here names where the expected value comes from ("file", "grid").
std::string DescribeDifference(const TFieldDifference& d, const std::string& here);

}  // namespace tarnell::protocol
