// A visitor built from several lambdas, one per alternative of a variant:
// `std::visit(support::Overloaded{[](const A&) {...}, [](const B&) {...}}, v)`.
#pragma once

namespace vexa_codegen::support {

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};

}  // namespace vexa_codegen::support
