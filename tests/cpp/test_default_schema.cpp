// The compiled-in document against the tables it was written from: name|cid|has_flags|fields,
// each field name:type with [v=inner] vector, [f=N] flag bit, [b] bare.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "schema/schema.hpp"

using namespace velmora::schema;

namespace {

constexpr const char* kMethods = R"(msgs_ack|0x62d6b459|0|msg_ids:Vector[v=long]
msgs_state_req|0xda69fb52|0|msg_ids:Vector[v=long]
req_pq_multi|0xbe7e8ef1|0|nonce:int128
req_DH_params|0xd712e4be|0|nonce:int128;server_nonce:int128;p:bytes;q:bytes;public_key_fingerprint:long;encrypted_data:bytes
set_client_DH_params|0xf5045f1f|0|nonce:int128;server_nonce:int128;encrypted_data:bytes
rpc_drop_answer|0x58e4a740|0|req_msg_id:long
initConnection|0xc1cd5ea9|1|flags:#;api_id:int;device_model:string;system_version:string;app_version:string;system_lang_code:string;lang_pack:string;lang_code:string;proxy:InputClientProxy[f=0];params:JSONValue[f=1];query:!X
invokeWithLayer|0xda9b0d0d|0|layer:int;query:!X
auth.sendCode|0xa677244f|0|phone_number:string;api_id:int;api_hash:string;settings:CodeSettings
auth.signUp|0xaac7b717|1|flags:#;no_joined_notifications:true[f=0,b];phone_number:string;phone_code_hash:string;first_name:string;last_name:string
auth.signIn|0x8d52a951|1|flags:#;phone_number:string;phone_code_hash:string;phone_code:string[f=0];email_verification:EmailVerification[f=1]
auth.logOut|0x3e72ba19|0|
auth.checkPassword|0xd18b4d16|0|password:InputCheckPasswordSRP
auth.requestPasswordRecovery|0xd897bc66|0|
auth.exportLoginToken|0xb7e085fe|0|api_id:int;api_hash:string;except_ids:Vector[v=long]
auth.importLoginToken|0x95ac5ce4|0|token:bytes
account.updateStatus|0x6628562c|0|offline:Bool
account.getPassword|0x548a30f5|0|
updates.getState|0xedd4882a|0|
help.getConfig|0xc4f9186b|0|
help.getNearestDc|0x1fb33026|0|)";

constexpr const char* kConstructors = R"(resPQ|0x05162463|0|nonce:int128;server_nonce:int128;pq:bytes;server_public_key_fingerprints:Vector[v=long]
p_q_inner_data|0x83c95aec|0|pq:bytes;p:bytes;q:bytes;nonce:int128;server_nonce:int128;new_nonce:int256
p_q_inner_data_dc|0xa9f55f95|0|pq:bytes;p:bytes;q:bytes;nonce:int128;server_nonce:int128;new_nonce:int256;dc:int
server_DH_params_ok|0xd0e8075c|0|nonce:int128;server_nonce:int128;encrypted_answer:bytes
server_DH_inner_data|0xb5890dba|0|nonce:int128;server_nonce:int128;g:int;dh_prime:bytes;g_a:bytes;server_time:int
client_DH_inner_data|0x6643b654|0|nonce:int128;server_nonce:int128;retry_id:long;g_b:bytes
dh_gen_ok|0x3bcbf734|0|nonce:int128;server_nonce:int128;new_nonce_hash1:int128
dh_gen_retry|0x46dc1fb9|0|nonce:int128;server_nonce:int128;new_nonce_hash2:int128
dh_gen_fail|0xa69dae02|0|nonce:int128;server_nonce:int128;new_nonce_hash3:int128
rpc_result|0xf35c6d01|0|req_msg_id:long;result:Object
msg_container|0x73f1f8dc|0|messages:vector<%Message>
gzip_packed|0x3072cfa1|0|packed_data:bytes
inputPeerEmpty|0x7f3b18ea|0|
inputPeerSelf|0x7da07ec9|0|
inputPeerChat|0x35a95cb9|0|chat_id:long
inputPeerUser|0xdde8a54c|0|user_id:long;access_hash:long
inputPeerChannel|0x27bcbbfc|0|channel_id:long;access_hash:long
inputUserSelf|0xf7c1b13f|0|
inputUser|0xf21158c6|0|user_id:long;access_hash:long
inputChannel|0xf35aec28|0|channel_id:long;access_hash:long
inputClientProxy|0x75588b3f|0|address:string;port:int
inputCheckPasswordEmpty|0x9880f658|0|
inputCheckPasswordSRP|0xd27ff082|0|srp_id:long;A:bytes;M1:bytes
codeSettings|0xad253d78|1|flags:#;allow_flashcall:true[f=0,b];current_number:true[f=1,b];allow_app_hash:true[f=4,b];allow_missed_call:true[f=5,b];allow_firebase:true[f=7,b];unknown_number:true[f=9,b];logout_tokens:Vector[v=bytes,f=6];token:string[f=8];app_sandbox:Bool[f=8]
emailVerificationCode|0x922e55a9|0|code:string
emailVerificationGoogle|0xdb909ec2|0|token:string
inputReplyToMessage|0x3bd4b7c2|1|flags:#;reply_to_msg_id:int;top_msg_id:int[f=0];reply_to_peer_id:InputPeer[f=1];quote_text:string[f=2];quote_entities:Vector[v=MessageEntity,f=3];quote_offset:int[f=4];monoforum_peer_id:InputPeer[f=5];todo_item_id:int[f=6];poll_option:bytes[f=7])";

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::string item;
  std::istringstream in(s);
  while (std::getline(in, item, sep)) out.push_back(item);
  if (!s.empty() && s.back() == sep) out.emplace_back();
  return out;
}

struct Expected {
  std::string name;
  TlRecord record;
};

std::vector<Expected> table(const char* text) {
  std::vector<Expected> out;
  for (const std::string& line : split(text, '\n')) {
    if (line.empty()) continue;
    auto cols = split(line, '|');
    Expected e;
    e.name = cols.at(0);
    e.record.cid = static_cast<std::uint32_t>(std::stoul(cols.at(1), nullptr, 16));
    e.record.has_flags = cols.at(2) == "1";
    for (const std::string& f : split(cols.size() > 3 ? cols[3] : "", ';')) {
      if (f.empty()) continue;
      TlFieldDef def;
      std::string head = f, attrs;
      if (auto b = f.find('['); b != std::string::npos) {
        head = f.substr(0, b);
        attrs = f.substr(b + 1, f.size() - b - 2);
      }
      const auto colon = head.find(':');
      def.name = head.substr(0, colon);
      def.type = head.substr(colon + 1);
      for (const std::string& a : split(attrs, ',')) {
        if (a == "b") def.is_bare = true;
        else if (a.rfind("v=", 0) == 0) def.is_vector = true, def.vector_inner = a.substr(2);
        else if (a.rfind("f=", 0) == 0) def.flag_bit = static_cast<std::uint32_t>(std::stoul(a.substr(2)));
      }
      e.record.fields.push_back(def);
    }
    out.push_back(e);
  }
  return out;
}

template <class Rec>
void expect_same(const std::vector<std::pair<std::string, Rec>>& got, const std::vector<Expected>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].first, want[i].name);
    EXPECT_EQ(static_cast<const TlRecord&>(got[i].second), want[i].record) << want[i].name;
  }
}

TEST(DefaultSchema, MatchesTheTables) {
  std::string err;
  auto in = parse_schema_document(kDefaultSchemaText, &err);
  ASSERT_TRUE(in.has_value()) << err;
  EXPECT_EQ(in->layer, 0u);
  const auto methods = table(kMethods);
  const auto constructors = table(kConstructors);
  ASSERT_EQ(methods.size(), 21u);
  ASSERT_EQ(constructors.size(), 27u);
  expect_same(in->methods, methods);
  expect_same(in->constructors, constructors);

  std::set<std::uint32_t> cids;
  for (const auto& m : methods) cids.insert(m.record.cid);
  for (const auto& c : constructors) cids.insert(c.record.cid);
  EXPECT_EQ(cids.size(), 48u);
  EXPECT_EQ(kDefaultSchemaText.back(), '\n');
}

TEST(DefaultSchema, Lookups) {
  std::string err;
  auto s = build_schema(std::move(*parse_schema_document(kDefaultSchemaText, &err)));
  EXPECT_EQ(*s->find_constructor_by_cid(0x05162463)->name, "resPQ");
  EXPECT_EQ(*s->find_constructor_by_cid(0x73f1f8dc)->name, "msg_container");
  EXPECT_EQ(s->find_constructor_by_cid(0x62d6b459), nullptr);  // msgs_ack is a method
  const Schema::Entry* logout = s->find_method("auth.logOut");
  ASSERT_NE(logout, nullptr);
  EXPECT_EQ(logout->record->cid, 0x3e72ba19u);
  EXPECT_TRUE(logout->record->fields.empty());
  EXPECT_EQ(s->find_constructor("auth.logOut"), nullptr);
}

}  // namespace
