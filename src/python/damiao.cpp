#include "python/damiao.hpp"

#include "binding/class_builder.hpp"
#include "binding/class_stub.hpp"
#include "python/representation.hpp"

namespace tervalin {

Ref DamiaoClass::text(const DamiaoRecord& handle) {
    return fields_text<CallHead<name>, attributes, NumberForms{.integers = IntegerForm::hex}>(handle);
}

template Result<PyTypeObject*> ClassFrame<DamiaoClass>::get_or_create();

namespace {
const stub::Registration registration{class_stub_entry<DamiaoClass>(stub::Position::damiao)};
}  // namespace

}  // namespace tervalin
