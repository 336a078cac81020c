#pragma once
// A visitor made of lambdas, one per case of a std::variant: std::visit(Overloaded{...}, value).

namespace recorder {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace recorder
