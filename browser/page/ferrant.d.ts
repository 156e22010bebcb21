// Types of ferrant.js, the page library of the Ferrant bridge (see its header comment).

/** The control's methods, as the page's ActiveX object had them. */
export type Method =
  | "InitService" | "AddUpTask" | "DeleteUpTask" | "ContinueUpTask" | "StopUpTask"
  | "GetTaskInfo" | "GetTaskCount" | "GetVersionInfo" | "SelectFileList" | "GetFileList"
  | "DeleteFileList";
export declare const METHODS: readonly Method[];

/** The task states of the status line. */
export declare const Status: Readonly<{
  Created: 1;
  Starting: 2;
  Hashing: 3;
  Dispatch: 4;
  Check: 5;
  Uploading: 6;
  Stopped: 7;
  Finishing: 8;
  Completed: 9;
  RetryWait: 70;
}>;
export type StatusCode = (typeof Status)[keyof typeof Status];

/** A status line's fields by name. The state's own figures are there in that state only. */
export interface TaskState {
  fileName: string;
  fileSize: number;
  pickCode: string;
  /** A StatusCode; another number if the control ever reports one. */
  status: number;
  errCode: number;
  serverErrCode: number;
  serverErrMsg: string;
  /** Status 3: percent hashed. */
  hashPercent?: number;
  /** Status 6: bytes of the file the server holds, where this attempt began, and seconds. */
  transferred?: number;
  offset?: number;
  elapsed?: number;
  totalElapsed?: number;
  /** Status 70: the retry under way and the seconds waited for it. */
  retry?: number;
  wait?: number;
}

/** The fields of a status line; null for "NULL" or a text that is no status line. */
export declare function parseStatus(line: string): TaskState | null;

export type FerrantErrorCode =
  | "no-extension" | "no-host" | "refused" | "timeout" | "closed" | "rpc" | "argument";
export declare class FerrantError extends Error {
  constructor(code: FerrantErrorCode, message: string, rpcCode?: number);
  readonly name: "FerrantError";
  code: FerrantErrorCode;
  /** For code "rpc": the JSON-RPC error code. */
  rpcCode?: number;
}

/** Called with the parsed state of a task, null when the task is gone. */
export type ChangeListener = (id: number, state: TaskState | null) => void;

/** One control in a host process of its own: the control's methods, awaited. */
export interface Connection {
  InitService(userId: string, cookie: string, dispatchUrl: string, retry: number,
              wait: number): Promise<null>;
  AddUpTask(id: number, path: string, taskParam: string): Promise<0 | 1>;
  DeleteUpTask(id: number): Promise<0 | 1>;
  ContinueUpTask(id: number): Promise<0 | 1>;
  StopUpTask(id: number): Promise<0 | 1>;
  /** The status line, or "NULL" for a number not in the table. */
  GetTaskInfo(id: number): Promise<string>;
  GetTaskCount(): Promise<number>;
  GetVersionInfo(): Promise<string>;
  SelectFileList(filter: string): Promise<null>;
  /** "path*size" entries joined by "|", or "NULL". */
  GetFileList(): Promise<string>;
  DeleteFileList(): Promise<null>;
  /**
   * Calls onChange for each task now and whenever its line changes; figures that move within a
   * state are read every `interval` ms (default 250). Returns the function that ends the watch.
   */
  watch(ids: number | readonly number[], onChange: ChangeListener,
        options?: { interval?: number }): () => void;
  readonly closed: boolean;
  close(): void;
}

export interface ConnectOptions {
  /** Milliseconds for the extension and the host to answer (default 10000). */
  timeout?: number;
  /** Milliseconds for each call (default 30000). */
  callTimeout?: number;
}

export declare function isAvailable(options?: { timeout?: number }): Promise<boolean>;
export declare function connect(options?: ConnectOptions): Promise<Connection>;

declare const Ferrant: Readonly<{
  connect: typeof connect;
  isAvailable: typeof isAvailable;
  parseStatus: typeof parseStatus;
  Status: typeof Status;
  METHODS: typeof METHODS;
  FerrantError: typeof FerrantError;
}>;
export { Ferrant };
export default Ferrant;
