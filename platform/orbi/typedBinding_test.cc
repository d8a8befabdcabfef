#include "platform/orbi/typedBinding.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "platform/orbi/json.h"

namespace Shop {

constexpr const char* kServiceId = "t.shop";

// The shape of the bindings' enumerations: known names, else the unknown value with its text.
template <class Names>
class TextEnum {
 public:
  static constexpr auto kNames = Names::kNames;
  static TextEnum FromString(std::string_view text) { return TextEnum(std::string(text)); }
  std::string ToString() const { return text_; }
  TextEnum() = default;

 private:
  explicit TextEnum(std::string text) : text_(std::move(text)) {}
  std::string text_ = std::string(kNames[0]);
};

struct ColorNames {
  static constexpr std::array<std::string_view, 2> kNames = {"RED", "BLUE"};
};
using Color = TextEnum<ColorNames>;
// Declared to refuse unknown input.
struct FinishNames {
  static constexpr std::array<std::string_view, 2> kNames = {"MATTE", "GLOSS"};
};
using Finish = TextEnum<FinishNames>;

struct Item {
  std::string name;
  std::optional<Color> color;
  std::vector<int64_t> sizes;
};

struct Box {
  std::shared_ptr<const Item> first;
  std::shared_ptr<Item> extra;
  std::vector<std::shared_ptr<Item>> items;
  bool open = false;
  std::optional<Finish> finish;
};

Orbi::Bind::EnumDecl DeclareBinding(Color*) { return {kServiceId, "color"}; }
Orbi::Bind::EnumDecl DeclareBinding(Finish*) {
  return {kServiceId, "finish", Orbi::Bind::UnknownInput::kRefused};
}

Orbi::Bind::StructDecl<Item> DeclareBinding(Item*) {
  return {kServiceId, "item", Orbi::Bind::Field("name", &Item::name),
          Orbi::Bind::Field("color", &Item::color), Orbi::Bind::Field("sizes", &Item::sizes)};
}

Orbi::Bind::StructDecl<Box> DeclareBinding(Box*) {
  return {kServiceId,
          "box",
          Orbi::Bind::Field("first", &Box::first),
          Orbi::Bind::OptionalField("extra", &Box::extra),
          Orbi::Bind::Field("items", &Box::items),
          Orbi::Bind::Field("open", &Box::open),
          Orbi::Bind::Field("finish", &Box::finish)};
}

class Interface {
 public:
  virtual ~Interface() = default;
  virtual void Put(Orbi::Core::ExecutionContextPtr, Box box, std::optional<std::string> note,
                   Orbi::Bind::Reply<Box> reply) = 0;
  virtual void Drop(Orbi::Core::ExecutionContextPtr, std::string name,
                    Orbi::Bind::Reply<void> reply) = 0;
};

const Orbi::Bind::ServiceDecl<Interface>& DeclareService(Interface*) {
  static const Orbi::Bind::ServiceDecl<Interface> decl(
      kServiceId, Orbi::Bind::Operation("put", &Interface::Put, "box", "note"),
      Orbi::Bind::Operation("drop", &Interface::Drop, "name"));
  return decl;
}

}  // namespace Shop

namespace Orbi::Bind {
namespace {

using Shop::Interface;
using ::testing::HasSubstr;

class ShopImpl : public Interface {
 public:
  void Put(Core::ExecutionContextPtr, Shop::Box box, std::optional<std::string> note,
           Reply<Shop::Box> reply) override {
    seenNote = note;
    seenColor = box.first->color ? box.first->color->ToString() : "(unset)";
    reply.Answer(std::move(box));
  }
  void Drop(Core::ExecutionContextPtr, std::string name, Reply<void> reply) override {
    reply.Fail(Std::NotFound({{"gone", {{"name", name}}}}));
  }
  std::optional<std::string> seenNote;
  std::string seenColor;
};

class TypedBindingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto localizer = std::make_shared<L10n::Localizer>(
        std::vector<std::string>{"en_US"}, [](const std::string&) { return "No {name} here"; });
    provider_ = std::make_shared<Provider::AsyncLocalProvider>(
        [](std::function<void()> work) { work(); },
        std::make_shared<Provider::InterfaceContainer>(std::vector<Provider::InterfacePtr>{
            ServiceBinder<Interface>::BindImplementation(impl_, localizer)}));
  }

  // The answer in the standard encoding.
  std::string Call(const std::string& op, const std::string& input) {
    Json::JsonPtr json(json_loads(input.c_str(), 0, nullptr));
    std::string answer;
    provider_->Invoke({Shop::kServiceId, op}, Json::FromJson(*json).value(),
                      std::make_shared<Core::ExecutionContext>(),
                      [&](std::optional<Core::MethodResult> result, auto, auto) {
                        answer = Json::ToText(result->HasError() ? *result->error : *result->output,
                                              Json::Encoding::kStandard);
                      });
    return answer;
  }

  std::shared_ptr<ShopImpl> impl_ = std::make_shared<ShopImpl>();
  std::shared_ptr<Provider::AsyncLocalProvider> provider_;
};

TEST_F(TypedBindingTest, DecodesIntoTheServiceTypesAndEncodesTheAnswer) {
  std::string out = Call("put", R"({"box":{"first":{"name":"a","color":"GREEN","sizes":[1,2]},)"
                                R"("items":[{"name":"b","sizes":[]}],"open":true}})");
  EXPECT_EQ(impl_->seenColor, "GREEN");  // an unknown name is carried, not refused
  EXPECT_EQ(impl_->seenNote, std::nullopt);
  EXPECT_EQ(out,
            R"({"_type":"t.shop.box","first":{"_type":"t.shop.item","name":"a","color":"GREEN",)"
            R"("sizes":[1,2]},"extra":null,"items":[{"_type":"t.shop.item","name":"b",)"
            R"("color":null,"sizes":[]}],"open":true,"finish":null})");

  Call("put", R"({"box":{"first":{"name":"a","sizes":[]},"items":[],"open":false},"note":"n"})");
  EXPECT_EQ(impl_->seenColor, "(unset)");
  EXPECT_EQ(impl_->seenNote, "n");
}

TEST_F(TypedBindingTest, RefusesMisfitInputByPathAndRendersFailuresWithTheBindersLocalizer) {
  EXPECT_THAT(Call("put", R"({"box":{"first":null,"items":[],"open":true}})"),
              HasSubstr(R"("path":"input.box.first")"));
  const std::string box = R"({"box":{"first":{"name":"a","sizes":[]},"items":[],"open":true,)";
  EXPECT_THAT(Call("put", box + R"("finish":"GLOSS"}})"), HasSubstr(R"("finish":"GLOSS")"));
  const std::string refused = Call("put", box + R"("finish":"SHINY"}})");
  EXPECT_THAT(refused, HasSubstr(R"("path":"input.box.finish")"));
  EXPECT_THAT(refused, HasSubstr(R"(unknown name \"SHINY\", expected one of MATTE, GLOSS)"));
  // A client's input, named by the declaration, reaches the implementation.
  const std::string failed =
      Call("drop", Json::ToText(*ServiceBinder<Interface>::Input("drop", std::string("x")),
                                Json::Encoding::kClean));
  EXPECT_THAT(failed, HasSubstr(R"("error_type":"NOT_FOUND")"));
  EXPECT_THAT(failed, HasSubstr(R"("localized":"No x here")"));
}

TEST(TypedBindingDeclarationTest, OperationsAndParametersAreNamedOnce) {
  EXPECT_THROW(ServiceDecl<Interface>("t.x", Operation("put", &Interface::Put, "box", "note"),
                                      Operation("put", &Interface::Drop, "name")),
               Basalt::Exception);
  EXPECT_THROW(ServiceDecl<Interface>("t.x", Operation("put", &Interface::Put, "box", "box")),
               Basalt::Exception);
  EXPECT_THROW(ServiceBinder<Interface>::BindImplementation(nullptr), Basalt::Exception);
  EXPECT_THROW(ServiceBinder<Interface>::Input("drop"), Basalt::Exception);
  EXPECT_THROW(ServiceBinder<Interface>::Input("undeclared", std::string("x")), Basalt::Exception);
}

}  // namespace
}  // namespace Orbi::Bind
