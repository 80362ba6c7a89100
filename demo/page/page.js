// SPDX-License-Identifier: MIT
// Shows the camera's quad-view layout and changes it through the two CGI names. Every answer is
// one XML document in the response namespace, HTTP 200 even for an error.
"use strict";

const kNamespace = "http://www.tarq.com/sefra/http_cgi/quadview";
const kReadUrl = "/cgi-bin/getquadview.cgi";
const kWriteUrl = "/cgi-bin/setquadview.cgi";

const subviews = Array.from(document.querySelectorAll(".subview"), buildSubview);
const saveButton = document.getElementById("save");
const readButton = document.getElementById("read");

// Fills one subview's figure from the template; returns its parts.
function buildSubview(figure) {
  figure.append(document.getElementById("subview-template").content.cloneNode(true));
  figure.querySelector(".number").textContent = figure.dataset.subview;
  const parts = {
    figure,
    needle: figure.querySelector(".needle"),
    sourceId: figure.querySelector(".source-id"),
    angle: figure.querySelector(".angle"),
    choice: figure.querySelector(".choice"),
    shown: null,  // the source id the camera shows, as last read
  };
  parts.choice.addEventListener("change", () => markChanged(parts));
  return parts;
}

// The first element named `name` in the response namespace below `parent`, or null.
function child(parent, name) {
  return parent.getElementsByTagNameNS(kNamespace, name)[0] || null;
}

// What an answer says: {ids: [four numbers]}, {success: true}, {error: {code, description}}, or
// {problem: text} when it is no answer of this format at all.
function interpret(text) {
  const doc = new DOMParser().parseFromString(text, "application/xml");
  const root = doc.documentElement;
  if (doc.getElementsByTagName("parsererror").length > 0) {
    return {problem: "the answer is not well-formed XML"};
  }
  if (root.namespaceURI !== kNamespace || root.localName !== "QuadViewResponse") {
    return {problem: "the answer is no QuadViewResponse"};
  }
  const error = child(root, "GeneralError");
  if (error) {
    return {
      error: {
        code: child(error, "ErrorCode")?.textContent ?? "",
        description: child(error, "ErrorDescription")?.textContent ?? "",
      },
    };
  }
  const layout = child(root, "GetQuadViewSuccess");
  if (layout) {
    const ids = Array.from(layout.getElementsByTagNameNS(kNamespace, "Id"), (id) =>
      Number.parseInt(id.textContent, 10));
    if (ids.length !== 4 || ids.some(Number.isNaN)) {
      return {problem: "the answer does not list four source ids"};
    }
    return {ids};
  }
  if (child(root, "GeneralSuccess")) {
    return {success: true};
  }
  return {problem: "the answer holds neither Success nor Error"};
}

// Sends one request, lists it with its answer in the panel and returns what the answer says.
async function ask(url) {
  const entry = {url: new URL(url, document.baseURI).href, status: "", text: ""};
  let outcome;
  try {
    const response = await fetch(url, {cache: "no-store"});
    entry.status = `HTTP ${response.status} ${response.headers.get("Content-Type") ?? ""}`;
    entry.text = await response.text();
    outcome = response.ok
      ? interpret(entry.text)
      : {problem: `the server answered ${entry.status}`};
  } catch (failure) {
    outcome = {problem: `no answer (${failure.message})`};
  }
  listExchange(entry);
  return outcome;
}

// Adds a request and its answer, laid out for reading, to the panel.
function listExchange({url, status, text}) {
  const item = document.createElement("li");
  const request = document.createElement("p");
  request.className = "request";
  request.textContent = `GET ${url}`;
  const meta = document.createElement("p");
  meta.className = "response-status";
  meta.textContent = status || "no answer";
  const answer = document.createElement("pre");
  answer.className = "answer";
  answer.textContent = indent(text);
  item.append(request, meta, answer);
  document.getElementById("exchanges").append(item);
}

// The answer laid out one element per line, for reading; the text itself if it is no XML.
function indent(text) {
  const doc = new DOMParser().parseFromString(text, "application/xml");
  if (!text || doc.getElementsByTagName("parsererror").length > 0) {
    return text;
  }
  const escape = (value) =>
    value.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
      .replace(/"/g, "&quot;");
  // An element and its subtree on one line: for elements with no more than one child element.
  const inline = (element) => {
    const attributes = Array.from(element.attributes, (a) => ` ${a.name}="${escape(a.value)}"`);
    const head = `<${element.tagName}${attributes.join("")}`;
    const first = element.firstElementChild;
    const inner = first ? inline(first) : escape(element.textContent);
    return inner ? `${head}>${inner}</${element.tagName}>` : `${head}/>`;
  };
  const fitsOnALine = (element) =>
    element.childElementCount === 0 ||
    (element.childElementCount === 1 && element.firstElementChild.childElementCount === 0);
  const lines = [];
  const walk = (element, depth) => {
    const pad = "  ".repeat(depth);
    if (fitsOnALine(element) && element.attributes.length <= 1) {
      lines.push(pad + inline(element));
      return;
    }
    // The root's attributes one per line.
    const attributes = Array.from(
      element.attributes, (a) => `\n${pad}    ${a.name}="${escape(a.value)}"`);
    lines.push(`${pad}<${element.tagName}${attributes.join("")}>`);
    Array.from(element.children).forEach((e) => walk(e, depth + 1));
    lines.push(`${pad}</${element.tagName}>`);
  };
  walk(doc.documentElement, 0);
  return lines.join("\n");
}

// Draws what the camera shows in one subview: `id` is a source id, or null when unknown.
function showSource(parts, id) {
  parts.shown = id;
  const known = id !== null;
  parts.figure.classList.toggle("unknown", !known);
  parts.sourceId.textContent = known ? String(id) : "?";
  parts.angle.textContent = known ? `${(id - 1) * 90}°` : "?";
  parts.needle.setAttribute("transform", `rotate(${known ? (id - 1) * 90 : 0})`);
  // Stored angles that are no multiple of 90 read back as ids outside 1 to 4: nothing to select.
  parts.choice.value = known && id >= 1 && id <= 4 ? String(id) : "";
  markChanged(parts);
}

// Marks a subview whose chosen source differs from the one it shows.
function markChanged(parts) {
  const choice = parts.choice.value;
  parts.figure.classList.toggle("changed", choice !== "" && choice !== String(parts.shown));
}

// Shows the error of an outcome ({error} or {problem}), or hides the box when there is none.
function showError(outcome) {
  const box = document.getElementById("error");
  if (outcome.error) {
    document.getElementById("error-code").textContent = outcome.error.code;
    document.getElementById("error-description").textContent = outcome.error.description;
  } else if (outcome.problem) {
    document.getElementById("error-code").textContent = "";
    document.getElementById("error-description").textContent = outcome.problem;
  }
  box.hidden = !(outcome.error || outcome.problem);
}

function setState(text) {
  document.getElementById("state").textContent = text;
}

// Runs one action with the buttons disabled and the page marked busy; the panel shows the
// action's requests.
async function act(steps) {
  saveButton.disabled = readButton.disabled = true;
  document.body.classList.add("busy");
  document.getElementById("exchanges").replaceChildren();
  setState("Asking the camera…");
  try {
    await steps();
  } finally {
    saveButton.disabled = readButton.disabled = false;
    document.body.classList.remove("busy");
  }
}

async function readLayout(done = "Layout read.") {
  const outcome = await ask(kReadUrl);
  if (outcome.ids) {
    showError({});
    subviews.forEach((parts, i) => showSource(parts, outcome.ids[i]));
    setState(done);
    return;
  }
  showError(outcome.success ? {problem: "the answer lists no layout"} : outcome);
  subviews.forEach((parts) => showSource(parts, null));
  setState("The layout could not be read.");
}

async function saveLayout() {
  const ids = subviews.map((parts) => parts.choice.value);
  if (ids.includes("")) {
    showError({problem: "choose a source for every subview"});
    setState("");
    return;
  }
  const outcome = await ask(`${kWriteUrl}?id=${ids.join(",")}`);
  if (!outcome.success) {
    showError(outcome.ids ? {problem: "the answer is a layout, not a write's"} : outcome);
    setState("The layout was not saved.");
    return;
  }
  await readLayout("Layout saved and read back.");
}

saveButton.addEventListener("click", () => act(saveLayout));
readButton.addEventListener("click", () => act(() => readLayout()));
act(() => readLayout());
