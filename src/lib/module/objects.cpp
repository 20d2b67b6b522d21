// The 26 element classes: object layouts, type objects and the method-call
// skeleton that runs every operation body.
#include "module/objects.hpp"

#include <memory>
#include <type_traits>
#include <utility>

#include "elements/call_scope.hpp"
#include "module/binding.hpp"
#include "module/interrupt.hpp"
#include "module/operations.hpp"
#include "module/slots.hpp"

namespace quernlet {

namespace detail {
std::array<std::atomic<PyTypeObject*>, kClassCount> type_cells{};
}  // namespace detail

PyObject* raise_value_error(std::string_view text) noexcept {
  // Texts come from UTF-8 input, but a message must never become an invalid
  // `str`, whatever bytes it holds.
  py::Object message = py::Object::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(PyExc_ValueError, message.get());
  return nullptr;
}

// ---------------------------------------------------------------------------
// Object layouts.

PyObject* new_element_object(PyTypeObject* type, ElementHandle payload) noexcept {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&reinterpret_cast<ElementObject*>(obj)->payload) ElementHandle(std::move(payload));
  return obj;
}

PyObject* new_literal_object(PyTypeObject* type, ElementHandle payload, py::Object s_obj,
                             std::string message) noexcept {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* lit = reinterpret_cast<LiteralObject*>(obj);
  new (&lit->payload) ElementHandle(std::move(payload));
  new (&lit->s_obj) py::Object(std::move(s_obj));
  new (&lit->message) std::string(std::move(message));
  return obj;
}

PyObject* new_keyword_object(PyTypeObject* type, ElementHandle payload, py::Object s_obj) noexcept {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  auto* kw = reinterpret_cast<KeywordObject*>(obj);
  new (&kw->payload) ElementHandle(std::move(payload));
  new (&kw->s_obj) py::Object(std::move(s_obj));
  return obj;
}

PyObject* wrap_element(Cls c, ElementHandle payload) noexcept {
  PyTypeObject* type = type_object(c);
  if (!type) return nullptr;
  return new_element_object(type, std::move(payload));
}

namespace {

// Destroys the C++ members that the constructors placed, frees the memory
// and gives up the reference every instance of a heap type holds on it.
template <class Layout>
void dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<Layout*>(self);
  std::destroy_at(&obj->payload);
  if constexpr (std::is_same_v<Layout, LiteralObject>) std::destroy_at(&obj->message);
  if constexpr (!std::is_same_v<Layout, ElementObject>) std::destroy_at(&obj->s_obj);
  type->tp_free(self);
  py::Object::steal(reinterpret_cast<PyObject*>(type));
}

// ---------------------------------------------------------------------------
// The method-call skeleton.

enum class Op : std::uint8_t {
  ParseString,
  Matches,
  SearchString,
  SearchStringCount,
  TransformString,
  ParseBatch,
  ParseBatchCount,
  SearchStringFlat,
};

constexpr const char* kTextParams[] = {"s"};
constexpr const char* kTransformParams[] = {"s", "replacement"};
constexpr const char* kListParams[] = {"inputs"};

// The method names, in the order of `Op`.
constexpr std::array<const char*, 8> kOpNames = {
    "parse_string",     "matches",     "search_string",     "search_string_count",
    "transform_string", "parse_batch", "parse_batch_count", "_search_string_flat",
};
// The seven operations every class has come first.
constexpr int kCommonOps = 7;

constexpr const char* op_name(Op op) { return kOpNames[static_cast<int>(op)]; }

constexpr bool is_list_op(Op op) { return op == Op::ParseBatch || op == Op::ParseBatchCount; }

constexpr ArgSpec spec_of(Cls c, Op op) {
  if (op == Op::TransformString)
    return {kClassNames[index_of(c)], op_name(op), kTransformParams, 2, 2};
  if (is_list_op(op)) return {kClassNames[index_of(c)], op_name(op), kListParams, 1, 1};
  return {kClassNames[index_of(c)], op_name(op), kTextParams, 1, 1};
}

// Each class's bodies, taken from the operation tables when its type object
// is built, which is before any object of the class can exist.
std::array<const SingleTextMethods*, kClassCount> text_methods{};
std::array<const BatchMethods*, kClassCount> list_methods{};
const Method<TextBody>* word_flat_method = nullptr;

template <Op op>
const Method<TextBody>& text_method(Cls c) noexcept {
  const SingleTextMethods& m = *text_methods[index_of(c)];
  if constexpr (op == Op::ParseString) return m.parse_string;
  if constexpr (op == Op::Matches) return m.matches;
  if constexpr (op == Op::SearchString) return m.search_string;
  if constexpr (op == Op::SearchStringCount) return m.search_string_count;
  if constexpr (op == Op::SearchStringFlat) return *word_flat_method;
}

template <Op op>
ListBody list_body(Cls c) noexcept {
  const BatchMethods& m = *list_methods[index_of(c)];
  if constexpr (op == Op::ParseBatch) return m.parse_batch.body;
  if constexpr (op == Op::ParseBatchCount) return m.parse_batch_count.body;
}

// A matching run that gave up for lack of stack (runaway recursion through
// a Forward), or on an interrupt whose handler raised, reports that instead
// of whatever the body made of it.
[[gnu::noinline, gnu::cold]] PyObject* recursion_error(PyObject* result) noexcept {
  py::Object dropped = py::Object::steal(result);
  if (!raise_kept_interrupt()) PyErr_SetString(PyExc_RecursionError, kTooDeepMessage);
  return nullptr;
}

// What a finished body's `result` (new reference or null) becomes for the
// caller: itself, unless its run gave up.
PyObject* reported(PyObject* result) noexcept {
  if (take_too_deep()) [[unlikely]]
    return recursion_error(result);
  return result;
}

// Only classes with children can hold a SkipTo, whose searches keep their
// answers for the length of one call, or a Group, whose lists one parse
// takes from an arena; the others open no engine scope.
constexpr bool has_children(Cls c) {
  using enum Cls;
  for (Cls k : {And, MatchFirst, ZeroOrMore, OneOrMore, Optional, Group, Suppress, Forward, Combine,
                Exactly, SkipTo})
    if (c == k) return true;
  return false;
}

// What one call of a single-text body opens: the engine's scope, or
// nothing for the leaf classes.
struct NoScope {
  explicit NoScope(bool) noexcept {}
};
template <Cls C>
using EngineScope = std::conditional_t<has_children(C), CallScope, NoScope>;

// Runs a single-text body, `run()`, within a fresh `Scope`, and reports its
// result.
template <class Scope, class Run>
PyObject* run_call(bool lists_in_arena, Run&& run) noexcept {
  PyObject* result;
  {
    const Scope scope(lists_in_arena);
    result = guarded(run);
  }
  return reported(result);
}

template <Cls C, Op op>
PyObject* method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  static constexpr ArgSpec spec = spec_of(C, op);
  PyObject* bound[kMaxParams];
  // Plain positional calls use the arguments in place.
  if (kwnames != nullptr || nargs != spec.count) [[unlikely]] {
    if (!bind_vectorcall(spec, args, nargs, kwnames, bound)) return nullptr;
    args = bound;
  }
  if (!is_instance(self, C)) [[unlikely]]
    return raise_conversion_failure(self, kClassNames[index_of(C)]);

  constexpr bool arena = op == Op::ParseString;
  if constexpr (op == Op::TransformString) {
    const Method<TransformBody>& method = text_methods[index_of(C)]->transform_string;
    TextArgument s_arg, replacement_arg;
    Text s, replacement;
    if (!s_arg.take("s", args[0], s, method.storage_only) ||
        !replacement_arg.take("replacement", args[1], replacement))
      return nullptr;
    return run_call<EngineScope<C>>(arena, [&] { return method.body(self, s, replacement); });
  } else if constexpr (is_list_op(op)) {
    // The batch skeleton opens the engine's scope for each run itself.
    if (!list_arg("inputs", args[0])) return nullptr;
    const ListBody body = list_body<op>(C);
    return reported(guarded([&] { return body(self, args[0]); }));
  } else {
    const Method<TextBody>& method = text_method<op>(C);
    TextArgument s_arg;
    Text s;
    if (!s_arg.take("s", args[0], s, method.storage_only)) return nullptr;
    return run_call<EngineScope<C>>(arena, [&] { return method.body(self, s); });
  }
}

// ---------------------------------------------------------------------------
// Type objects.

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Each class's entry points of the seven common operations, in the order of
// `Op`.
template <Cls C, std::size_t... K>
constexpr std::array<FastMethod, kCommonOps> entries_of(std::index_sequence<K...>) {
  return {&method_entry<C, static_cast<Op>(K)>...};
}

constexpr auto kEntries =
    for_each_class([]<Cls C>() { return entries_of<C>(std::make_index_sequence<kCommonOps>{}); });

constexpr std::array<const char*, kClassCount> kTypeNames = {
    "builtins.Literal",         "builtins.Keyword",      "builtins.Word",
    "builtins.Regex",           "builtins.And",          "builtins.MatchFirst",
    "builtins.ZeroOrMore",      "builtins.OneOrMore",    "builtins.Optional",
    "builtins.Group",           "builtins.Suppress",     "builtins.Forward",
    "builtins.Combine",         "builtins.Exactly",      "builtins.CaselessLiteral",
    "builtins.CaselessKeyword", "builtins.Char",         "builtins.StringStart",
    "builtins.StringEnd",       "builtins.LineStart",    "builtins.LineEnd",
    "builtins.rest_of_line",    "builtins.QuotedString", "builtins.Empty",
    "builtins.NoMatch",         "builtins.SkipTo",
};

// The constructor's text signature (the interpreter shows it as
// `__text_signature__`); And has no constructor and no doc.
constexpr std::array<const char*, kClassCount> kTypeDocs = {
    "Literal(s)\n--\n\n",
    "Keyword(s)\n--\n\n",
    "Word(init_chars, body_chars=None)\n--\n\n",
    "Regex(pattern)\n--\n\n",
    nullptr,
    "MatchFirst(exprs)\n--\n\n",
    "ZeroOrMore(expr)\n--\n\n",
    "OneOrMore(expr)\n--\n\n",
    "Optional(expr)\n--\n\n",
    "Group(expr)\n--\n\n",
    "Suppress(expr)\n--\n\n",
    "Forward()\n--\n\n",
    "Combine(expr)\n--\n\n",
    "Exactly(expr, count)\n--\n\n",
    "CaselessLiteral(s)\n--\n\n",
    "CaselessKeyword(s)\n--\n\n",
    "Char(s)\n--\n\n",
    "StringStart()\n--\n\n",
    "StringEnd()\n--\n\n",
    "LineStart()\n--\n\n",
    "LineEnd()\n--\n\n",
    "rest_of_line()\n--\n\n",
    "QuotedString(quote_char=\"\\\"\", esc_char=None, multiline=False, unquote=True)\n--\n\n",
    "Empty()\n--\n\n",
    "NoMatch()\n--\n\n",
    "SkipTo(expr)\n--\n\n",
};

// The common operations, plus one class-specific method, plus the sentinel.
constexpr int kMaxMethods = kCommonOps + 2;
// Heap types keep pointing at their method records, so they are static.
std::array<std::array<PyMethodDef, kMaxMethods>, kClassCount> method_defs{};

PyMethodDef fast_method(const char* name, FastMethod f, const char* doc) noexcept {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f)),
          METH_FASTCALL | METH_KEYWORDS, doc};
}

template <class T>
void* slot_fn(T f) noexcept {
  return reinterpret_cast<void*>(f);
}

PyTypeObject* create_type(Cls c) noexcept {
  const int i = index_of(c);
  text_methods[i] = &single_text_methods(c);
  list_methods[i] = &batch_methods(c);
  const SingleTextMethods& text = *text_methods[i];
  const BatchMethods& batch = *list_methods[i];
  const char* const docs[kCommonOps] = {
      text.parse_string.doc,        text.matches.doc,          text.search_string.doc,
      text.search_string_count.doc, text.transform_string.doc, batch.parse_batch.doc,
      batch.parse_batch_count.doc,
  };

  auto& defs = method_defs[i];
  int n = 0;
  for (; n < kCommonOps; ++n) defs[n] = fast_method(kOpNames[n], kEntries[i][n], docs[n]);
  if (c == Cls::Word) {
    word_flat_method = &word_search_string_flat();
    defs[n++] = fast_method(op_name(Op::SearchStringFlat),
                            &method_entry<Cls::Word, Op::SearchStringFlat>, word_flat_method->doc);
  }
  if (c == Cls::Forward) defs[n++] = fast_method("set", &forward_set, kForwardSetDoc);
  defs[n] = PyMethodDef{nullptr, nullptr, 0, nullptr};

  PyType_Slot slots[10];
  int k = 0;
  if (c == Cls::Literal) {
    slots[k++] = {Py_tp_dealloc, slot_fn(&dealloc<LiteralObject>)};
  } else if (c == Cls::Keyword) {
    slots[k++] = {Py_tp_dealloc, slot_fn(&dealloc<KeywordObject>)};
  } else {
    slots[k++] = {Py_tp_dealloc, slot_fn(&dealloc<ElementObject>)};
  }
  if (kTypeDocs[i]) slots[k++] = {Py_tp_doc, const_cast<char*>(kTypeDocs[i])};
  if (newfunc ctor = constructor_of(c)) slots[k++] = {Py_tp_new, slot_fn(ctor)};
  slots[k++] = {Py_nb_add, slot_fn(add_slot_of(c))};
  if (binaryfunc or_slot = or_slot_of(c)) slots[k++] = {Py_nb_or, slot_fn(or_slot)};
  if (c == Cls::Forward) slots[k++] = {Py_nb_inplace_lshift, slot_fn(&forward_ilshift)};
  slots[k++] = {Py_tp_methods, defs.data()};
  slots[k] = {0, nullptr};

  const int basic_size = c == Cls::Literal   ? static_cast<int>(sizeof(LiteralObject))
                         : c == Cls::Keyword ? static_cast<int>(sizeof(KeywordObject))
                                             : static_cast<int>(sizeof(ElementObject));
  // No BASETYPE: the classes cannot be subclassed, which is what lets the
  // type check compare type pointers. No GC: elements hold no Python objects
  // but ready-made `str`s, so they cannot take part in reference cycles.
  unsigned flags = Py_TPFLAGS_DEFAULT;
  if (c == Cls::And) flags |= Py_TPFLAGS_DISALLOW_INSTANTIATION;
  PyType_Spec spec{kTypeNames[i], basic_size, 0, flags, slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace

PyTypeObject* type_object(Cls c) noexcept {
  auto& cell = detail::type_cells[index_of(c)];
  if (PyTypeObject* type = cell.load(std::memory_order_acquire)) return type;
  // One builder per class; a waiting thread detaches from the interpreter
  // while it waits, so a builder that lets other Python threads run cannot
  // deadlock against it.
  static PyMutex locks[kClassCount];
  PyMutex& lock = locks[index_of(c)];
  PyMutex_Lock(&lock);
  PyTypeObject* type = cell.load(std::memory_order_relaxed);
  if (!type) {
    type = create_type(c);
    // The cell keeps this reference for the rest of the process.
    if (type) cell.store(type, std::memory_order_release);
  }
  PyMutex_Unlock(&lock);
  return type;
}

}  // namespace quernlet
