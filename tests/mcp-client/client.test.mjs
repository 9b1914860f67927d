// Drives veltrun-mcp with the official MCP TypeScript SDK over stdio, the way
// an agent host does. Usage: node client.test.mjs /path/to/veltrun-mcp
import assert from "node:assert/strict";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

import { Client } from "@modelcontextprotocol/sdk/client/index.js";
import { StdioClientTransport } from "@modelcontextprotocol/sdk/client/stdio.js";

const EXPECTED_TOOLS = [
  "veltrun_login",
  "veltrun_session",
  "project_context",
  "list_doc_pages",
  "get_doc_page",
  "get_work_item",
  "list_work_items",
  "post_comment",
  "post_review",
  "resolve_finding",
  "update_phase",
  "create_work_item",
  "create_doc_page",
  "update_doc_page",
  "list_project_members",
  "board_summary",
  "assign_work_item",
  "work_item_time",
];

// A sanitizer build of the server keeps the options the suite runs under.
function sanitizerOptions() {
  const names = ["ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"];
  return Object.fromEntries(names.filter((name) => process.env[name]).map((name) => [name, process.env[name]]));
}

// Starts the server with HOME in an empty folder, so that nothing local is
// found, and hands a connected client to the conversation.
async function withServer(binary, conversation) {
  const home = mkdtempSync(join(tmpdir(), "veltrun-mcp-client-"));
  const transport = new StdioClientTransport({
    command: binary,
    env: { ...sanitizerOptions(), HOME: home, PATH: process.env.PATH ?? "" },
    stderr: "pipe",
  });
  let stderr = "";
  transport.stderr?.on("data", (chunk) => (stderr += chunk));
  const client = new Client({ name: "veltrun-mcp-client-test", version: "1.0.0" });
  try {
    await client.connect(transport);
    await conversation(client);
  } finally {
    await client.close();
    rmSync(home, { recursive: true, force: true });
  }
  assert.equal(stderr, "", "the server wrote to standard error");
}

async function listsTheCatalogue(client) {
  assert.equal(client.getServerVersion()?.name, "veltrun");
  assert.match(client.getInstructions() ?? "", /^On the first interaction/);
  const { tools } = await client.listTools();
  assert.deepEqual(
    tools.map((tool) => tool.name),
    EXPECTED_TOOLS,
  );
  for (const tool of tools) {
    assert.equal(tool.inputSchema.type, "object", `${tool.name} has an object schema`);
  }
}

async function refusesAnUnknownTool(client) {
  const result = await client.callTool({ name: "no_such_tool", arguments: {} });
  assert.equal(result.isError, true);
  assert.deepEqual(result.content, [{ type: "text", text: "Unknown tool: no_such_tool" }]);
}

// Consent is given, but without a credential the gate answers every board
// tool with the session status object instead of running it.
async function gatesToolsUntilSignedIn(client) {
  const consent = await client.callTool({ name: "veltrun_session", arguments: { action: "enable" } });
  assert.equal(consent.isError, false);
  assert.equal(JSON.parse(consent.content[0].text).status, "needs_auth");
  const gated = await client.callTool({ name: "list_work_items", arguments: {} });
  assert.equal(gated.isError, false);
  assert.equal(gated.content.length, 1);
  const status = JSON.parse(gated.content[0].text);
  assert.equal(status.status, "needs_auth");
  assert.match(status.instruction, /^Authentication is missing or expired\. Call veltrun_login\(action=start\)/);
}

const CONVERSATIONS = [listsTheCatalogue, refusesAnUnknownTool, gatesToolsUntilSignedIn];

async function main() {
  const binary = process.argv[2];
  if (!binary) throw new Error("usage: node client.test.mjs /path/to/veltrun-mcp");
  for (const conversation of CONVERSATIONS) {
    try {
      await withServer(binary, conversation);
      console.log(`ok - ${conversation.name}`);
    } catch (error) {
      console.error(`not ok - ${conversation.name}: ${error.stack ?? error}`);
      process.exitCode = 1;
    }
  }
}

await main();
