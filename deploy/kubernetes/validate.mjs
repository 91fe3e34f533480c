// Checks every document of the manifests named on the command line against
// the Kubernetes schemas of the kubernetes-models package, offline. Prints
// one line per document; exits 1 when any is invalid or of an unknown kind.
// Usage: TARNWICKET_NPM_DIR=build/npm node deploy/kubernetes/validate.mjs FILE...
// (the folder whose node_modules holds kubernetes-models and yaml, as
// scripts/setup.sh installs them; default: the current directory).
import { readFileSync } from "node:fs";
import { createRequire } from "node:module";
import { pathToFileURL } from "node:url";

const modules = process.env.TARNWICKET_NPM_DIR ?? process.cwd();
const require = createRequire(pathToFileURL(`${modules}/package.json`));
const { parseAllDocuments } = require("yaml");

let failed = false;
for (const file of process.argv.slice(2)) {
  for (const document of parseAllDocuments(readFileSync(file, "utf8"))) {
    const manifest = document.toJS();
    const [group, version] = manifest.apiVersion.includes("/")
      ? manifest.apiVersion.split("/")
      : ["", manifest.apiVersion];
    const where = `${file}: ${manifest.kind} ${manifest.metadata?.name}`;
    try {
      const model = require(`kubernetes-models/${group ? `${group}/` : ""}${version}/${manifest.kind}`);
      new model[manifest.kind](manifest).validate();
      console.log(`valid: ${where}`);
    } catch (error) {
      console.log(`invalid: ${where}: ${error.message}`);
      failed = true;
    }
  }
}
process.exit(failed ? 1 : 0);
