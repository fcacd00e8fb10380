#pragma once

#include <string>
#include <vector>

#include "model/EntityDescription.h"
#include "model/ManagedObject.h"
#include "model/ServiceResult.h"
#include "model/Value.h"

namespace orvanta::model {

// Turning service results into objects shaped by the object model. Every attribute and
// relationship the entity declares is looked up under its own name and converted by its declared
// type; keys the entity does not declare are ignored. The objects made here are detached: they are
// never inserted into a store context and never saved.

// Converts one entry (null: the key is missing) for an attribute of the given type:
//   Integer32       the leading decimal integer of the text (white space, sign, digits, clamped to
//                   32 bits), else 0
//   Double, Float   the leading decimal number of the text, else 0 (Float rounded to single precision)
//   Boolean         YES when the text, after white space, sign and leading zeros, starts with
//                   Y, y, T, t or 1-9; otherwise NO
//   String          the text; an empty element (empty map) gives the empty text; a missing key, the
//                   null marker, a repeated element (list) or an element with children give absent
//   Date            "YYYY-MM-DD HH:MM:SS +HHMM" (or -HHMM), else absent
//   anything else   absent (Integer16, Integer64, Decimal, Binary, Transformable)
// For the number and boolean types, an entry that is not a text counts as a missing key, except an
// empty element, which counts as the empty text.
Value convertAttribute(AttributeType type, const ResultValue* entry);

// Fills the object from the map, driven by its entity description:
// - every declared attribute is set (a missing key gives the value above for a missing entry);
// - a relationship whose entry is the null marker is left as it is;
// - a to-many relationship expects a map holding the related elements under the destination
//   entity's name: a list gives one new object per map element, in order (elements that are not
//   maps are skipped), a single map gives one object, anything else adds nothing;
// - a to-one relationship gets one new object built from its entry (a missing or non-map entry
//   gives an object with every attribute at its missing-key value).
void setValuesFromDictionary(ManagedObject& object, const ResultMap& values);

// A new detached object of the named entity filled from values. Throws std::out_of_range for an
// entity the model does not have.
ObjectPtr objectForEntity(const std::string& entityName, const ResultMap& values);

// The objects of a service call's response: when the response is a map, its entry under the
// entity name gives one object (a map) or one per element in order (a list, skipping elements that
// are not maps). Any other response gives none.
std::vector<ObjectPtr> objectsFromResponse(const std::string& entityName, const ResultValue& response);

}  // namespace orvanta::model
