<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="ja">
<context>
    <name>velmora::viewer::Library</name>
    <message>
        <source>To Developer:
Invalid state in DECORE library. Check
decore_state first.</source>
        <translation>The video decoder was used before it was ready; the picture is skipped.</translation>
    </message>
    <message>
        <source>No picture header in picture buffer
</source>
        <translation>A picture came without its picture header and is skipped.</translation>
    </message>
    <message>
        <source>To Developer:
No sequence header. You should put a picture
with sequence header at first</source>
        <translation>The video came without its stream header; pictures show once one arrives.</translation>
    </message>
    <message>
        <source>decore</source>
        <translation>Video decoder</translation>
    </message>
    <message>
        <source>error: GlobalAlloc</source>
        <translation>There is not enough memory for the video decoders.</translation>
    </message>
    <message>
        <source>decode_init error</source>
        <translation>Video decoder start</translation>
    </message>
    <message>
        <source>error: not initialized </source>
        <translation>Playback is not ready: it has not been started.</translation>
    </message>
    <message>
        <source>error: file open error </source>
        <translation>The file cannot be opened.</translation>
    </message>
    <message>
        <source>frame index is none.</source>
        <translation>The data file has no picture index and cannot be played.</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::MainView</name>
    <message>
        <source>%1年%2月%3日
%4時%5分%6秒</source>
        <translation>%1/%2/%3
%4:%5:%6</translation>
    </message>
    <message>
        <source>未接続</source>
        <translation>Not connected</translation>
    </message>
    <message>
        <source>切断</source>
        <translation>Disconnect</translation>
    </message>
    <message>
        <source>メニュー</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>HDDデータ再生</source>
        <translation>Play recorder disk</translation>
    </message>
    <message>
        <source>保存動画データ再生</source>
        <translation>Play saved video</translation>
    </message>
    <message>
        <source>保存静止画データ再生</source>
        <translation>View saved pictures</translation>
    </message>
    <message>
        <source>録画データコピー</source>
        <translation>Copy recordings</translation>
    </message>
    <message>
        <source>静止画保存</source>
        <translation>Save picture</translation>
    </message>
    <message>
        <source>戻る</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>終了</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source>チャンネル選択</source>
        <translation>Cameras</translation>
    </message>
    <message>
        <source>田</source>
        <translation>All</translation>
    </message>
    <message>
        <source>再生</source>
        <translation>Playback</translation>
    </message>
    <message>
        <source>消音</source>
        <translation>Mute</translation>
    </message>
    <message>
        <source>HDD再生</source>
        <translation>Disk playback</translation>
    </message>
    <message>
        <source>保存動画再生</source>
        <translation>Saved video</translation>
    </message>
    <message>
        <source>保存静止画</source>
        <translation>Saved picture</translation>
    </message>
    <message>
        <source>一時停止</source>
        <translation>Paused</translation>
    </message>
    <message>
        <source>早送り×%1</source>
        <translation>Forward ×%1</translation>
    </message>
    <message>
        <source>早戻し×%1</source>
        <translation>Rewind ×%1</translation>
    </message>
    <message>
        <source>逆再生</source>
        <translation>Reverse</translation>
    </message>
    <message>
        <source>再生中</source>
        <translation>Playing</translation>
    </message>
    <message>
        <source>%1・%2</source>
        <translation>%1 · %2</translation>
    </message>
    <message>
        <source>画面の解像度設定を1024x768以上にしてください。</source>
        <translation>Please set the screen resolution to 1024 × 768 or more.</translation>
    </message>
    <message>
        <source>終了中</source>
        <translation>Closing</translation>
    </message>
    <message>
        <source>デジタルレコーダが接続禁止設定です。</source>
        <translation>The recorder is set to refuse connections.</translation>
    </message>
    <message>
        <source>ＩＤ・パスワードが間違っています。</source>
        <translation>The ID or password is wrong.</translation>
    </message>
    <message>
        <source>使用中です。</source>
        <translation>The recorder is in use.</translation>
    </message>
    <message>
        <source>デジタルレコーダと接続されていません。</source>
        <translation>Not connected to the recorder.</translation>
    </message>
    <message>
        <source>カメラ%1</source>
        <translation>Camera %1</translation>
    </message>
    <message>
        <source>接続中</source>
        <translation>Connecting</translation>
    </message>
    <message>
        <source>接続失敗</source>
        <translation>Connection failed</translation>
    </message>
    <message>
        <source>使用されています。</source>
        <translation>The recorder is in use by someone else.</translation>
    </message>
    <message>
        <source>接続に失敗しました。</source>
        <translation>The connection failed.</translation>
    </message>
    <message>
        <source>ライブ</source>
        <translation>Live</translation>
    </message>
    <message>
        <source>切断中</source>
        <translation>Disconnecting</translation>
    </message>
    <message>
        <source>TELnetをONにしました。</source>
        <translation>Telnet is now on.</translation>
    </message>
    <message>
        <source>TELnetをONにできませんでした。(%1)</source>
        <translation>Telnet could not be turned on (%1).</translation>
    </message>
    <message>
        <source>本体より強制切断されました</source>
        <translation>The recorder closed the connection.</translation>
    </message>
    <message>
        <source>本体から画像がきていません。</source>
        <translation>No pictures are coming from the recorder.</translation>
    </message>
    <message>
        <source>受信停止・再接続%1回目</source>
        <translation>Stream lost · reconnecting, attempt %1</translation>
    </message>
    <message>
        <source>ライブ・一部停止</source>
        <translation>Live · some cameras stopped</translation>
    </message>
    <message>
        <source>ライブ・映像停止</source>
        <translation>Live · pictures stopped</translation>
    </message>
    <message>
        <source>映像停止
最終画像 %1</source>
        <translation>Pictures stopped
last picture %1</translation>
    </message>
    <message>
        <source>映像なし</source>
        <translation>No picture</translation>
    </message>
    <message>
        <source>受信停止・再接続中</source>
        <translation>Stream lost · reconnecting</translation>
    </message>
    <message>
        <source>ライブ（一部停止）</source>
        <translation>Live (some cameras stopped)</translation>
    </message>
    <message>
        <source>ライブ（映像停止）</source>
        <translation>Live (pictures stopped)</translation>
    </message>
    <message>
        <source>ZQ-700で使用しているHDDが接続されていません</source>
        <translation>No ZQ-700 recorder disk is attached.</translation>
    </message>
    <message>
        <source>KV-W9で使用しているHDDが接続されていません</source>
        <translation>No KV-W9 recorder disk is attached.</translation>
    </message>
    <message>
        <source>ZEB-5で使用しているHDDが接続されていません</source>
        <translation>No ZEB-5 recorder disk is attached.</translation>
    </message>
    <message>
        <source>再生データが不正です</source>
        <translation>The recording is damaged and cannot be played.</translation>
    </message>
    <message>
        <source>既に起動されています。</source>
        <translation>Velmora is already running for this program folder.</translation>
    </message>
    <message>
        <source>HDDイメージを開く…</source>
        <translation>Open disk image…</translation>
    </message>
    <message>
        <source>ディスクイメージを開きますか？</source>
        <translation>Open a disk image instead?</translation>
    </message>
    <message>
        <source>HDDイメージを開く</source>
        <translation>Open disk image</translation>
    </message>
    <message>
        <source>ディスクイメージ (*.img *.dd *.raw)</source>
        <translation>Disk images (*.img *.dd *.raw)</translation>
    </message>
    <message>
        <source>すべてのファイル (*)</source>
        <translation>All files (*)</translation>
    </message>
    <message>
        <source>開く</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>%1 は録画装置のディスクイメージではありません</source>
        <translation>%1 is not an image of a recorder disk.</translation>
    </message>
    <message>
        <source>全コマ</source>
        <translation>Every</translation>
    </message>
    <message>
        <source>届いた画像をすべてその都度表示します</source>
        <translation>Shows every new picture as it arrives</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::Message</name>
    <message>
        <source>はい</source>
        <translation>Yes</translation>
    </message>
    <message>
        <source>いいえ</source>
        <translation>No</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::MonthCalendar</name>
    <message>
        <source>日</source>
        <translation>Su</translation>
    </message>
    <message>
        <source>月</source>
        <translation>Mo</translation>
    </message>
    <message>
        <source>火</source>
        <translation>Tu</translation>
    </message>
    <message>
        <source>水</source>
        <translation>We</translation>
    </message>
    <message>
        <source>木</source>
        <translation>Th</translation>
    </message>
    <message>
        <source>金</source>
        <translation>Fr</translation>
    </message>
    <message>
        <source>土</source>
        <translation>Sa</translation>
    </message>
    <message>
        <source>1月</source>
        <translation>Jan</translation>
    </message>
    <message>
        <source>2月</source>
        <translation>Feb</translation>
    </message>
    <message>
        <source>3月</source>
        <translation>Mar</translation>
    </message>
    <message>
        <source>4月</source>
        <translation>Apr</translation>
    </message>
    <message>
        <source>5月</source>
        <translation>May</translation>
    </message>
    <message>
        <source>6月</source>
        <translation>Jun</translation>
    </message>
    <message>
        <source>7月</source>
        <translation>Jul</translation>
    </message>
    <message>
        <source>8月</source>
        <translation>Aug</translation>
    </message>
    <message>
        <source>9月</source>
        <translation>Sep</translation>
    </message>
    <message>
        <source>10月</source>
        <translation>Oct</translation>
    </message>
    <message>
        <source>11月</source>
        <translation>Nov</translation>
    </message>
    <message>
        <source>12月</source>
        <translation>Dec</translation>
    </message>
    <message>
        <source>年</source>
        <translation> </translation>
    </message>
</context>
<context>
    <name>velmora::viewer::PicSave</name>
    <message>
        <source>静止画保存</source>
        <translation>Save picture</translation>
    </message>
    <message>
        <source>静止画保存ファイル名：</source>
        <translation>File name:</translation>
    </message>
    <message>
        <source>保存開始</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>参照</source>
        <translation>Browse</translation>
    </message>
    <message>
        <source>静止画保存先</source>
        <translation>Save to folder</translation>
    </message>
    <message>
        <source>フォルダー作成</source>
        <translation>New folder</translation>
    </message>
    <message>
        <source>選択</source>
        <translation>Choose</translation>
    </message>
    <message>
        <source>キャンセル</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>静止画保存ファイル名がありません</source>
        <translation>Please enter a file name for the picture.</translation>
    </message>
    <message>
        <source>%1は既に存在します
上書きしますか</source>
        <translation>%1 already exists.
Replace it?</translation>
    </message>
    <message>
        <source>ファイルがありません</source>
        <translation>The picture to save is missing.</translation>
    </message>
    <message>
        <source>保存に失敗しました</source>
        <translation>The picture could not be saved.</translation>
    </message>
    <message>
        <source>保存しました。</source>
        <translation>The picture was saved.</translation>
    </message>
    <message>
        <source>形式</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>PNG (劣化なし)</source>
        <translation>PNG (lossless)</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::RDataCopy</name>
    <message>
        <source>データコピーが終了しました</source>
        <translation>The copy is complete.</translation>
    </message>
    <message>
        <source>HDDエラーが発生しました</source>
        <translation>A disk error occurred.</translation>
    </message>
    <message>
        <source>コピーをキャンセルしました</source>
        <translation>The copy was cancelled.</translation>
    </message>
    <message>
        <source>データの書き込みができません。中断します</source>
        <translation>The data cannot be written. The copy stops.</translation>
    </message>
    <message>
        <source>録画データコピー</source>
        <translation>Copy recordings</translation>
    </message>
    <message>
        <source>コピー開始時間</source>
        <translation>Copy from</translation>
    </message>
    <message>
        <source>コピー終了時間</source>
        <translation>Copy until</translation>
    </message>
    <message>
        <source>分間</source>
        <translation>minutes</translation>
    </message>
    <message>
        <source>コピーデータ保存先 </source>
        <translation>Copy to folder </translation>
    </message>
    <message>
        <source>フォルダー作成</source>
        <translation>New folder</translation>
    </message>
    <message>
        <source>カレンダー色セット</source>
        <translation>Mark recorded days</translation>
    </message>
    <message>
        <source>コピー開始</source>
        <translation>Start copy</translation>
    </message>
    <message>
        <source>コピー中止</source>
        <translation>Stop copy</translation>
    </message>
    <message>
        <source>コピー中データ</source>
        <translation>Copying</translation>
    </message>
    <message>
        <source>指定した日時のデータはHDDに存在しません</source>
        <translation>The disk holds no recording at the time given.</translation>
    </message>
    <message>
        <source>フォルダー名がありません</source>
        <translation>Please enter a folder name.</translation>
    </message>
    <message>
        <source>録画データが１００個以上になりました。
録画データを消去するか保存先を変更してください。</source>
        <translation>The folder already holds 100 copies.
Delete some copies or choose another folder.</translation>
    </message>
    <message>
        <source>%1は作成できません。</source>
        <translation>%1 cannot be created.</translation>
    </message>
    <message>
        <source>保存形式</source>
        <translation>Keep as</translation>
    </message>
    <message>
        <source>録画機のコピー</source>
        <translation>The recorder&apos;s copy</translation>
    </message>
    <message>
        <source>どこでも再生できる動画ファイル (MKV)</source>
        <translation>A video file that plays anywhere (MKV)</translation>
    </message>
    <message>
        <source>どこでも再生できる動画ファイル (MP4)</source>
        <translation>A video file that plays anywhere (MP4)</translation>
    </message>
    <message>
        <source>動画ファイル作成中</source>
        <translation>Writing video</translation>
    </message>
    <message>
        <source>録画データはコピーしましたが、動画ファイルは作成できませんでした。
%1
%2</source>
        <translation>The recordings were copied, but the video files could not be written.
%1
%2</translation>
    </message>
    <message>
        <source>動画ファイル作成を中止しました</source>
        <translation>The video files were given up.</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::RDataSearch</name>
    <message>
        <source>保存データ読出先</source>
        <translation>Read from folder</translation>
    </message>
    <message>
        <source>保存動画データ再生</source>
        <translation>Play saved video</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::SDataSearch</name>
    <message>
        <source>保存静止画データ再生</source>
        <translation>View saved pictures</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::SubWindow</name>
    <message>
        <source>戻る</source>
        <translation>Back</translation>
    </message>
    <message>
        <source>フォルダー名がありません</source>
        <translation>Please enter a folder name.</translation>
    </message>
    <message>
        <source>%1は作成できません。</source>
        <translation>%1 cannot be created.</translation>
    </message>
</context>
<context>
    <name>velmora::viewer::TimeSearch</name>
    <message>
        <source>時刻検索</source>
        <translation>Find by time</translation>
    </message>
    <message>
        <source>時刻</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>検索開始</source>
        <translation>Search</translation>
    </message>
    <message>
        <source>カレンダー色セット</source>
        <translation>Mark recorded days</translation>
    </message>
    <message>
        <source>録画リスト</source>
        <translation>Recordings</translation>
    </message>
    <message>
        <source>アラーム録画リスト</source>
        <translation>Alarm recordings</translation>
    </message>
    <message>
        <source>検索する時間を入力してください</source>
        <translation>Please enter the time to search for.</translation>
    </message>
    <message>
        <source>録画データは %1 から %2 までです。</source>
        <translation>The recordings run from %1 to %2.</translation>
    </message>
    <message>
        <source>指定した日時より前の録画データはありません。
</source>
        <translation>There is no recording before the time given.
</translation>
    </message>
    <message>
        <source>
最初の録画 (%1) から再生しますか？</source>
        <translation>
Play from the first recording (%1)?</translation>
    </message>
    <message>
        <source>指定した日時のデータは存在しません。
</source>
        <translation>There is no recording at the time given.
</translation>
    </message>
    <message>
        <source>
最後の録画の終わり近く (%1) から再生しますか？</source>
        <translation>
Play from near the end of the last recording (%1)?</translation>
    </message>
    <message>
        <source>指定した日時のデータは存在しません</source>
        <translation>There is no recording at the time given.</translation>
    </message>
</context>
</TS>
