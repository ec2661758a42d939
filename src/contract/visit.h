// A visitor made of lambdas, one for each alternative of an event variant
// (std::visit(overloaded{...}, event)).
#pragma once

template <typename... Ts>
struct overloaded : Ts... {
  using Ts::operator()...;
};
// Spelled out for compilers that do not yet deduce an aggregate's arguments.
template <typename... Ts>
overloaded(Ts...) -> overloaded<Ts...>;
